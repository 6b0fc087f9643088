// The filter host over image files it cannot take: the program says in words what is wrong and names the
// file, and the documents it would have to hold beyond any buffer of a 32-bit process are refused.
#include "am-handle.h"
#include "host/filter-host.h"
#include "host/image-file.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <objbase.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

using namespace filter_host;
namespace fs = std::filesystem;
using handle = cpp::unique_any<HANDLE, &CloseHandle>;

// A PNG whose header claims 100000 x 100000 RGB pixels, followed by one row's data and the end chunk
// (checksums computed with zlib's crc32).
const unsigned char claims_100000_squared[] = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48,
    0x44, 0x52, 0x00, 0x01, 0x86, 0xa0, 0x00, 0x01, 0x86, 0xa0, 0x08, 0x02, 0x00, 0x00,
    0x00, 0x27, 0x30, 0x9c, 0x9f, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x44, 0x41, 0x54, 0x78,
    0x9c, 0x63, 0x60, 0x18, 0x05, 0x44, 0x03, 0x00, 0x01, 0x2d, 0x00, 0x01, 0x45, 0x02,
    0x95, 0x4e, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82,
};

fs::path temp_folder() {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    return fs::path(folder) / L"filter-host-image-errors";
}

void write_bytes(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_bytes(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// The system's own words for a system error code, as a person reads them.
std::string system_words(DWORD code) {
    char text[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                  0, text, sizeof text, nullptr);
    while (length != 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' '))
        --length;
    return {text, length};
}

struct host_run {
    DWORD exit_code = 99;
    std::string output; // what it printed, standard output and error together
};

host_run run_host(const fs::path& input, const fs::path& output, const fs::path& printed) {
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    const handle sink(CreateFileW(printed.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_NE(sink.get(), INVALID_HANDLE_VALUE);
    std::wstring command =
        L"filter-host.exe probe-filter.8bf \"" + input.wstring() + L"\" \"" + output.wstring() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = sink.get();
    startup.hStdError = sink.get();
    PROCESS_INFORMATION process{};
    host_run run;
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
        ADD_FAILURE() << "filter-host.exe does not start";
        return run;
    }
    const handle thread(process.hThread), host(process.hProcess);
    // Far beyond what the host needs to refuse a file: a host that hangs fails instead of holding the test.
    if (WaitForSingleObject(host.get(), 60000) != WAIT_OBJECT_0) {
        TerminateProcess(host.get(), 99);
        WaitForSingleObject(host.get(), INFINITE);
        ADD_FAILURE() << "filter-host.exe did not end";
    }
    GetExitCodeProcess(host.get(), &run.exit_code);
    run.output = read_bytes(printed);
    return run;
}

TEST(image_file_errors, the_host_says_what_is_wrong_with_the_image_in_words_and_names_the_file) {
    ASSERT_GE(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), 0); // as the host program has it
    const fs::path folder = temp_folder();
    fs::remove_all(folder);
    fs::create_directories(folder);

    image photo(64, 48, 3, 8);
    for (std::size_t i = 0; i != photo.samples.size(); ++i)
        photo.samples[i] = static_cast<std::uint16_t>((i * 7919 + i / 5) % 256); // compresses poorly
    const fs::path whole = folder / L"whole.png";
    write_image(whole.wstring(), photo);
    const std::string png = read_bytes(whole);
    write_bytes(folder / L"cut-off.png", png.substr(0, png.size() / 2));
    write_bytes(folder / L"notes.txt", "These are notes about the holiday, not a picture of it.\r\n");
    write_bytes(folder / L"claims-100000.png",
                std::string(std::begin(claims_100000_squared), std::end(claims_100000_squared)));
    write_image((folder / L"one-too-wide.png").wstring(), image(40961, 1, 1, 8));

    struct row {
        const wchar_t* file;
        std::vector<std::string> said;
        const wchar_t* output = L"output.png";
    };
    // The last row's output folder does not exist: that is found before the dialog, not after Apply.
    const row rows[] = {
        {L"missing.png", {"cannot be read: " + system_words(ERROR_FILE_NOT_FOUND), "(0x80070002)"}},
        {L"notes.txt", {"is not an image the filter host can read"}},
        {L"cut-off.png", {"is damaged"}},
        {L"claims-100000.png", {"is too large for the filter host", "40960 x 40960"}},
        {L"one-too-wide.png", {"is too large for the filter host", "40961 x 1 pixels", "40960 x 40960"}},
        {L"whole.png",
         {"cannot be written: " + system_words(ERROR_PATH_NOT_FOUND)},
         L"no-such-folder\\out.png"},
    };
    for (const row& expected : rows) {
        const fs::path input = folder / expected.file;
        const fs::path output = folder / expected.output;
        const fs::path named = std::wstring(expected.output) == L"output.png" ? input : output;
        SCOPED_TRACE(input.string());
        const host_run run = run_host(input, output, folder / L"printed.txt");
        EXPECT_EQ(run.exit_code, 3u) << "the host could not run the filter";
        EXPECT_THAT(run.output, HasSubstr("\"" + named.string() + "\""));
        for (const std::string& words : expected.said)
            EXPECT_THAT(run.output, HasSubstr(words));
        EXPECT_THAT(run.output, Not(HasSubstr("failed with")));
        EXPECT_THAT(run.output, Not(HasSubstr("selector"))) << "no filter call at all";
        EXPECT_FALSE(fs::exists(output));
    }
    fs::remove_all(folder);
    CoUninitialize();
}

// Counts of samples beyond 2^32 wrap round to nothing in a 32-bit process; such documents are refused,
// not made empty.
TEST(image_file_errors, a_document_too_large_to_hold_is_refused_not_made_smaller) {
    struct row {
        std::int32_t width, height;
        std::int16_t planes;
    };
    for (const row& size : {row{65536, 65536, 1}, row{32768, 32768, 4}}) {
        SCOPED_TRACE(testing::Message() << size.width << " x " << size.height << " x " << size.planes);
        EXPECT_THROW(image(size.width, size.height, size.planes, 8), std::length_error);
    }
    const image largest_row(40960, 1, 4, 16);
    EXPECT_EQ(largest_row.samples.size(), 40960u * 4u);
}

} // namespace
