// The engine as an installation can leave it: registered only for the current user, or not at all.
#include "plugin/host-entry.h"

#include "host/filter-host.h"
#include "message-box-reader.h"

#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include <objbase.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

namespace sdk = tessolux::host;

const wchar_t class_key[] = L"Software\\Classes\\CLSID\\{47646232-C34B-463A-A8A0-B61012E6D8CB}";

// The engine's own registration entries, as its installer calls them.
HRESULT call_engine(const char* entry) {
    const HMODULE engine = LoadLibraryW(L"ZorvaneImageProcessor2.dll");
    if (engine == nullptr)
        throw std::runtime_error("the engine does not load");
    const auto function =
        reinterpret_cast<HRESULT(WINAPI*)()>(reinterpret_cast<void*>(GetProcAddress(engine, entry)));
    const HRESULT result = function != nullptr ? function() : E_FAIL;
    FreeLibrary(engine);
    return result;
}

// The engine's class is unregistered from the local machine while these tests run, and registered again
// at their end, so that the other test programs find it as before.
class engine_unregistered : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        wchar_t path[4096];
        ASSERT_TRUE(tessolux::find_engine_server_path(path)) << "the engine is registered before";
        registered_path = path;
        ASSERT_EQ(call_engine("DllUnregisterServer"), S_OK);
    }
    static void TearDownTestSuite() {
        ASSERT_EQ(call_engine("DllRegisterServer"), S_OK);
        wchar_t path[4096];
        ASSERT_TRUE(tessolux::find_engine_server_path(path));
        EXPECT_EQ(std::wstring(path), registered_path) << "the registration is as it was";
    }

    // Runs on a thread of its own in a single-threaded apartment, as a host's thread is.
    template <class Body> static void on_host_thread(Body body) {
        std::thread([&] {
            ASSERT_GE(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), 0);
            body();
            CoUninitialize();
        }).join();
    }

    static std::wstring registered_path;
};

std::wstring engine_unregistered::registered_path;

// A registration for the current user alone, removed again however the test ends.
class user_registration {
public:
    user_registration() {
        if (RegCreateKeyExW(HKEY_CURRENT_USER, (std::wstring(class_key) + L"\\InprocServer32").c_str(), 0,
                            nullptr, 0, KEY_WRITE, nullptr, &key_, nullptr) != ERROR_SUCCESS)
            throw std::runtime_error("the user's class key cannot be made");
    }
    user_registration(const user_registration&) = delete;
    ~user_registration() {
        RegCloseKey(key_);
        RegDeleteTreeW(HKEY_CURRENT_USER, class_key);
    }
    void set(DWORD type, const void* data, DWORD bytes) {
        ASSERT_EQ(RegSetValueExW(key_, nullptr, 0, type, static_cast<const BYTE*>(data), bytes),
                  ERROR_SUCCESS);
    }
    void set_text(DWORD type, const std::wstring& text) {
        set(type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }

private:
    HKEY key_ = nullptr;
};

TEST_F(engine_unregistered, the_engine_is_neither_found_nor_created) {
    wchar_t path[4096];
    std::wmemset(path, L'x', 4096);
    EXPECT_FALSE(tessolux::find_engine_server_path(path));
    EXPECT_EQ(path[0], L'x') << "the buffer is left as it was";
    EXPECT_EQ(path[4095], L'x');
    on_host_thread([] {
        const tessolux::engine_context engine = tessolux::try_create_engine_context();
        EXPECT_FALSE(engine.root);
        EXPECT_FALSE(engine.handler);
        try {
            tessolux::create_engine_context();
            ADD_FAILURE() << "an engine was created";
        } catch (const error_handling::interface_exception& e) {
            EXPECT_EQ(static_cast<std::uint32_t>(e.result()), 0x80040154u);
        }
    });
}

TEST_F(engine_unregistered, a_registration_for_the_current_user_alone_is_found_when_it_is_a_path) {
    user_registration user;
    wchar_t path[4096];
    user.set_text(REG_SZ, L"C:\\Program Files\\Zorvane\\ZorvaneImageProcessor2.dll");
    ASSERT_TRUE(tessolux::find_engine_server_path(path));
    EXPECT_STREQ(path, L"C:\\Program Files\\Zorvane\\ZorvaneImageProcessor2.dll");

    user.set_text(REG_EXPAND_SZ, L"%SystemRoot%\\ZorvaneImageProcessor2.dll");
    ASSERT_TRUE(tessolux::find_engine_server_path(path));
    wchar_t expected[MAX_PATH];
    ExpandEnvironmentStringsW(L"%SystemRoot%\\ZorvaneImageProcessor2.dll", expected, MAX_PATH);
    EXPECT_STREQ(path, expected);

    const std::wstring longest(4095, L'a');
    user.set_text(REG_SZ, longest);
    std::wmemset(path, L'x', 4096);
    ASSERT_TRUE(tessolux::find_engine_server_path(path));
    EXPECT_EQ(path, longest) << "4095 characters and the terminator fill the buffer exactly";

    // Not a path: found nothing, and the buffer keeps what it held.
    const DWORD number = 42;
    const std::wstring too_long(4096, L'b');
    const wchar_t unterminated[] = {L'C', L':', L'\\', L'z'};
    struct value {
        DWORD type;
        const void* data;
        DWORD bytes;
    };
    for (const value v : {value{REG_DWORD, &number, sizeof number},
                          value{REG_SZ, too_long.c_str(), static_cast<DWORD>((too_long.size() + 1) * 2)},
                          value{REG_BINARY, L"C:\\x.dll", 18}}) {
        user.set(v.type, v.data, v.bytes);
        std::wmemset(path, L'x', 4096);
        EXPECT_FALSE(tessolux::find_engine_server_path(path)) << "type " << v.type;
        EXPECT_EQ(path[0], L'x');
    }
    // A text stored without its terminator still ends in one.
    user.set(REG_SZ, unterminated, sizeof unterminated);
    std::wmemset(path, L'x', 4096);
    ASSERT_TRUE(tessolux::find_engine_server_path(path));
    EXPECT_STREQ(path, L"C:\\z");
}

TEST_F(engine_unregistered, a_filter_run_shows_one_not_registered_box_and_ends_cancelled) {
    filter_host::plugin_module module(L"Tessolux3.8bf");
    for (const bool masked : {false, true}) {
        filter_host::image document(4, 3, 3, 16);
        for (std::size_t i = 0; i != document.samples.size(); ++i)
            document.samples[i] = static_cast<std::uint16_t>(i * 1111);
        const filter_host::image before = document;
        filter_host::selection selection{4, 3, std::vector<std::uint8_t>(12, 255)};
        filter_host::run_report report;
        std::vector<test_support::message_box> boxes;
        std::thread([&] {
            test_support::message_box_reader reader;
            report = filter_host::run_filter(module, document, masked ? &selection : nullptr, {});
            boxes = reader.boxes();
        }).join();
        EXPECT_EQ(report.result, sdk::userCanceledErr);
        EXPECT_FALSE(report.applied);
        EXPECT_FALSE(report.input_changed);
        EXPECT_THAT(report.selectors, ::testing::ElementsAre(1, 2, 3, 4, 5)) << "every request emptied";
        EXPECT_EQ(document.samples, before.samples);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].caption, L"A failure has occured");
        EXPECT_EQ(boxes[0].text, L"A component failed with error code  0x80040154\n"
                                 L"A required component  'ZorvaneImageProcessor2.dll'  is not registered!\r\n"
                                 L"Reinstalling the application might solve this problem.");
    }
}

// This program holds no string table: a report cannot load its texts.
TEST_F(engine_unregistered, a_report_that_cannot_be_shown_gives_bad_parameters) {
    test_support::message_box_reader reader;
    EXPECT_EQ(tessolux::report_exception(nullptr, std::runtime_error("x"), tessolux::engine_file_name), -1);
    EXPECT_TRUE(reader.boxes().empty());

    std::uint8_t input[3 * 2 * 2] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    std::uint8_t output[sizeof input] = {};
    sdk::FilterRecord record{};
    record.planes = 3;
    record.depth = 8;
    record.filterRect = {0, 0, 2, 2};
    tessolux::request_whole_image(record);
    record.inData = input;
    record.outData = output;
    record.inRowBytes = record.outRowBytes = 6;
    std::int16_t result = 0;
    on_host_thread([&] {
        tessolux::run_filter_job(record, result,
                                 [](auto&&...) { return tessolux::dialog_outcome::accepted; });
    });
    EXPECT_EQ(result, sdk::filterBadParameters);
    EXPECT_EQ(record.inRect, sdk::Rect{}) << "the requests are emptied also then";
    EXPECT_TRUE(reader.boxes().empty());
}

} // namespace
