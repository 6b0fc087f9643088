// The stand-in engine's trace (the file ZORVANE_STANDIN_TRACE names) read back as what the plug-in chose.
// Header only, like the other helpers of the stand-in.
#pragma once

#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace test_support {

// The value of one field of a trace line ("name" in 'add_node chain=3 name="resize" ...'), unquoted;
// empty when the line has none.
inline std::string trace_field(const std::string& line, const std::string& key) {
    const std::size_t at = line.find(" " + key + "=");
    if (at == std::string::npos)
        return {};
    const std::size_t start = at + key.size() + 2;
    const std::size_t quoted = line[start] == '"' ? 1 : 0;
    return line.substr(start + quoted, line.find(quoted ? '"' : ' ', start + quoted) - start - quoted);
}

// One trace line reduced to the call, the name and value it sent, and the result when it is not S_OK:
// "set width=58", "add_node resize shared=0", "add_child impact-rect", "run hr=0x80004004". Ids and
// image shapes are left out, since they change with every run.
inline std::string reduce_trace_line(const std::string& line) {
    std::string reduced = line.substr(0, line.find(' '));
    if (reduced == "set_property")
        reduced = "set " + trace_field(line, "name") + "=" + trace_field(line, "value");
    else if (reduced == "add_node")
        reduced += " " + trace_field(line, "name") + " shared=" + trace_field(line, "shared");
    else if (reduced == "add_child")
        reduced += " " + trace_field(line, "name");
    const std::string hr = trace_field(line, "hr");
    return hr == "0x00000000" ? reduced : reduced + " hr=" + hr;
}

// The whole trace so far, reduced line by line; empty while there is no file.
inline std::vector<std::string> read_trace(const std::wstring& path) {
    std::vector<std::string> lines;
    std::ifstream file(path.c_str());
    for (std::string line; std::getline(file, line);)
        lines.push_back(reduce_trace_line(line.substr(0, line.find_last_not_of("\r\n") + 1)));
    return lines;
}

// What the engine was told about the node of that name that it ran last (a run, not the in-place
// applications of the film thumbnails): its add_node line, then the settings and commits of the node and
// of its children in the order they came, reduced. Lines of other work, such as a preview render running
// meanwhile, are told apart by their ids. Empty when no such node ran.
inline std::vector<std::string> last_run_node(const std::wstring& path, const std::string& name) {
    std::vector<std::string> lines;
    {
        std::ifstream file(path.c_str());
        for (std::string line; std::getline(file, line);)
            lines.push_back(line.substr(0, line.find_last_not_of("\r\n") + 1));
    }
    const auto call = [](const std::string& line) { return line.substr(0, line.find(' ')); };
    std::set<std::string> run_operations;
    for (const std::string& line : lines)
        if (call(line) == "run" && trace_field(line, "hr") == "0x00000000")
            run_operations.insert(trace_field(line, "operation"));
    std::set<std::string> run_chains;
    for (const std::string& line : lines)
        if (call(line) == "build" && run_operations.count(trace_field(line, "operation")) != 0)
            run_chains.insert(trace_field(line, "chain"));
    std::size_t first = lines.size();
    for (std::size_t i = 0; i != lines.size(); ++i)
        if (call(lines[i]) == "add_node" && trace_field(lines[i], "name") == name &&
            run_chains.count(trace_field(lines[i], "chain")) != 0)
            first = i;
    if (first == lines.size())
        return {};
    std::vector<std::string> sent{reduce_trace_line(lines[first])};
    std::set<std::string> nodes{trace_field(lines[first], "node")};
    for (std::size_t i = first + 1; i != lines.size(); ++i) {
        const std::string what = call(lines[i]);
        if ((what != "set_property" && what != "add_child" && what != "commit") ||
            nodes.count(trace_field(lines[i], "node")) == 0)
            continue;
        if (what == "add_child")
            nodes.insert(trace_field(lines[i], "child"));
        sent.push_back(reduce_trace_line(lines[i]));
    }
    return sent;
}

} // namespace test_support
