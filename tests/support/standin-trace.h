// The stand-in engine's trace (the file ZORVANE_STANDIN_TRACE names) read back as what the plug-in chose.
// Header only, like the other helpers of the stand-in.
#pragma once

#include <fstream>
#include <string>
#include <vector>

namespace test_support {

// One trace line reduced to the call, the name and value it sent, and the result when it is not S_OK:
// "set width=58", "add_node resize shared=0", "add_child impact-rect", "run hr=0x80004004". Ids and
// image shapes are left out, since they change with every run.
inline std::string reduce_trace_line(const std::string& line) {
    const auto field = [&line](const std::string& key) -> std::string {
        const std::size_t at = line.find(" " + key + "=");
        if (at == std::string::npos)
            return {};
        const std::size_t start = at + key.size() + 2;
        const std::size_t quoted = line[start] == '"' ? 1 : 0;
        return line.substr(start + quoted, line.find(quoted ? '"' : ' ', start + quoted) - start - quoted);
    };
    std::string reduced = line.substr(0, line.find(' '));
    if (reduced == "set_property")
        reduced = "set " + field("name") + "=" + field("value");
    else if (reduced == "add_node")
        reduced += " " + field("name") + " shared=" + field("shared");
    else if (reduced == "add_child")
        reduced += " " + field("name");
    const std::string hr = field("hr");
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

} // namespace test_support
