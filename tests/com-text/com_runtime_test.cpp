#include "abi-export.h"

#include <stdexcept>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

// A stand-in for an engine interface: the check reads its identifier from the declaration.
struct ITestTarget : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE run() = 0;
};
__CRT_UUID_DECL(ITestTarget, 0x5b0c2d61, 0x8f3e, 0x4c1a, 0x9d, 0x27, 0x11, 0x42, 0x6e, 0x3a, 0x90, 0x5f)
struct IOtherTarget : IUnknown {};
__CRT_UUID_DECL(IOtherTarget, 0x5b0c2d62, 0x8f3e, 0x4c1a, 0x9d, 0x27, 0x11, 0x42, 0x6e, 0x3a, 0x90, 0x5f)

namespace {

// A small COM object that counts its references and the questions asked of it, and that may or may not
// speak for the error object of ITestTarget.
class test_target final : public ITestTarget, public ISupportErrorInfo {
public:
    explicit test_target(bool supports_error_info) : supports_error_info_(supports_error_info) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** out) override {
        ++queries;
        *out = nullptr;
        if (id == IID_IUnknown || id == __uuidof(ITestTarget))
            *out = static_cast<ITestTarget*>(this);
        else if (id == IID_ISupportErrorInfo && supports_error_info_)
            *out = static_cast<ISupportErrorInfo*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    HRESULT STDMETHODCALLTYPE run() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID id) override {
        return id == __uuidof(ITestTarget) ? S_OK : S_FALSE;
    }

    ULONG references = 1;
    int queries = 0;

private:
    bool supports_error_info_;
};

// Leaves a COM error object with this description on the calling thread, as a failing engine call would.
void set_error_description(const wchar_t* text) {
    com_ptr<ICreateErrorInfo> create;
    ASSERT_EQ(CreateErrorInfo(create.put()), S_OK);
    ASSERT_EQ(create->SetDescription(const_cast<LPOLESTR>(text)), S_OK);
    com_ptr<IErrorInfo> error;
    ASSERT_EQ(create->QueryInterface(IID_IErrorInfo, error.put_void()), S_OK);
    ASSERT_EQ(SetErrorInfo(0, error.get()), S_OK);
}

bool thread_has_error_object() {
    com_ptr<IErrorInfo> error;
    return GetErrorInfo(0, error.put()) == S_OK;
}

class check_result_test : public ::testing::Test {
protected:
    void TearDown() override {
        SetErrorInfo(0, nullptr);
        EXPECT_EQ(target.references, 1u) << "the check released everything it queried";
    }

    runtime_init_t apartment;
    test_target target{true};
    ITestTarget* object = &target;
};

TEST_F(check_result_test, success_codes_return_without_asking_the_object) {
    EXPECT_NO_THROW(error_handling::check_result(object, S_OK));
    EXPECT_NO_THROW(error_handling::check_result(object, S_FALSE));
    EXPECT_NO_THROW(
        error_handling::check_result(error_handling::check_context{object, __uuidof(ITestTarget), "", 1},
                                     static_cast<HRESULT>(0x20000100)));
    EXPECT_EQ(target.queries, 0);
}

TEST_F(check_result_test, cancelled_code_throws_user_cancelation_without_touching_the_error_object) {
    set_error_description(L"stale");
    EXPECT_THROW(error_handling::check_result(object, static_cast<HRESULT>(0x20000100)),
                 cpp::exceptional::user_cancelation);
    EXPECT_EQ(target.queries, 0);
    EXPECT_TRUE(thread_has_error_object()) << "GetErrorInfo would have taken it";
}

TEST_F(check_result_test, stopped_code_throws_thread_cancelation_even_when_cancelled_is_accepted) {
    set_error_description(L"stale");
    EXPECT_THROW(
        error_handling::check_result(error_handling::check_context{object, __uuidof(ITestTarget), "", 1},
                                     static_cast<HRESULT>(0xA0000200)),
        cpp::threading::thread_cancelation);
    EXPECT_EQ(target.queries, 0);
    EXPECT_TRUE(thread_has_error_object());
}

TEST_F(check_result_test, out_of_memory_carries_the_description_as_allocation_failure) {
    set_error_description(L"no room for the image");
    try {
        error_handling::check_result(object, E_OUTOFMEMORY);
        FAIL() << "no exception";
    } catch (const cpp::exceptional::allocationFailure& failure) {
        EXPECT_STREQ(failure.what(), "no room for the image - ");
    }
    EXPECT_FALSE(thread_has_error_object()) << "the error object was read";
}

TEST_F(check_result_test, invalid_argument_carries_the_description_and_the_call_text) {
    set_error_description(L"width must be positive");
    try {
        error_handling::check_result(
            error_handling::check_context{object, __uuidof(ITestTarget), "create_image", 0}, E_INVALIDARG);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& failure) {
        EXPECT_STREQ(failure.what(), "width must be positive - create_image");
    }
}

TEST_F(check_result_test, other_failures_become_interface_exceptions_with_utf8_description) {
    set_error_description(L"Fehler bei \u00dcbergabe: cafe\u0301");
    try {
        error_handling::check_result(com_ptr<ITestTarget>::retain(object), E_FAIL);
        FAIL() << "no exception";
    } catch (const error_handling::interface_exception& failure) {
        EXPECT_EQ(failure.result(), E_FAIL);
        EXPECT_STREQ(failure.what(), "Fehler bei \xc3\x9c"
                                     "bergabe: caf\xc3\xa9 - ");
    }
}

TEST_F(check_result_test, failure_without_error_info_support_has_an_empty_message) {
    test_target plain(false);
    set_error_description(L"not ours to read");
    try {
        error_handling::check_result(static_cast<ITestTarget*>(&plain), E_FAIL);
        FAIL() << "no exception";
    } catch (const error_handling::interface_exception& failure) {
        EXPECT_EQ(failure.result(), E_FAIL);
        EXPECT_STREQ(failure.what(), "");
    }
    EXPECT_EQ(plain.references, 1u);
}

TEST_F(check_result_test, description_is_left_out_when_any_step_declines) {
    auto message_of = [](const error_handling::check_context& context) {
        try {
            error_handling::check_result(context, E_FAIL);
        } catch (const error_handling::interface_exception& failure) {
            return std::string(failure.what());
        }
        return std::string("no exception");
    };
    set_error_description(L"for another interface");
    EXPECT_EQ(message_of({object, __uuidof(IOtherTarget), "call", 0}), "call")
        << "object speaks for ITestTarget only";
    set_error_description(L"no object to ask");
    EXPECT_EQ(message_of({nullptr, __uuidof(ITestTarget), "call", 0}), "call");
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(message_of({object, __uuidof(ITestTarget), "", 0}), "") << "no error object on the thread";
}

TEST(interface_exception, copies_share_the_message_and_keep_the_result) {
    const error_handling::interface_exception original(E_NOTIMPL, "missing");
    const error_handling::interface_exception copy = original;
    EXPECT_EQ(copy.what(), original.what());
    EXPECT_EQ(copy.result(), E_NOTIMPL);
    const std::exception& base = copy;
    EXPECT_STREQ(base.what(), "missing");
}

TEST(string_owner, empty_wstring_gives_an_empty_non_null_bstr) {
    const string_owner owner{std::wstring()};
    ASSERT_NE(owner.get(), nullptr);
    EXPECT_EQ(SysStringLen(owner.get()), 0u);
    EXPECT_EQ(owner.get()[0], L'\0');
}

TEST(string_owner, wstring_keeps_embedded_zero_characters) {
    const std::wstring text(L"a\0b", 3);
    const string_owner owner(text);
    ASSERT_EQ(SysStringLen(owner.get()), 3u);
    EXPECT_EQ(std::wstring(owner.get(), 3), text);
}

TEST(string_owner, copies_or_adopts_a_c_string) {
    const wchar_t text[] = L"resize";
    const string_owner copied(text, true);
    ASSERT_NE(copied.get(), nullptr);
    EXPECT_NE(copied.get(), text);
    EXPECT_STREQ(copied.get(), L"resize");

    EXPECT_EQ(string_owner(nullptr, true).get(), nullptr);

    BSTR made = SysAllocString(L"adopted");
    string_owner adopted(made, false);
    EXPECT_EQ(adopted.get(), made);
    string_owner moved(std::move(adopted));
    EXPECT_EQ(adopted.get(), nullptr);
    EXPECT_EQ(moved.get(), made);
}

TEST(find_interface_id, returns_the_first_equal_entry_or_null) {
    const IID table[] = {IID_IUnknown, __uuidof(ITestTarget), __uuidof(ITestTarget)};
    EXPECT_EQ(error_handling::find_interface_id(IID_IUnknown, table, 0), nullptr);
    EXPECT_EQ(error_handling::find_interface_id(__uuidof(ITestTarget), table, 3), &table[1]);
    EXPECT_EQ(error_handling::find_interface_id(__uuidof(IOtherTarget), table, 3), nullptr)
        << "differs in the first word only";
    IID last_byte = __uuidof(ITestTarget);
    last_byte.Data4[7] ^= 1;
    EXPECT_EQ(error_handling::find_interface_id(last_byte, table, 3), nullptr);
}

TEST(com_ptr, releases_on_destruction_move_assignment_and_put) {
    test_target first(false), second(false);
    {
        com_ptr<ITestTarget> held = com_ptr<ITestTarget>::retain(&first);
        EXPECT_EQ(first.references, 2u);
        com_ptr<ITestTarget> other = com_ptr<ITestTarget>::retain(&second);
        held = std::move(other);
        EXPECT_EQ(first.references, 1u) << "move-assignment released the old one";
        EXPECT_EQ(second.references, 2u);
        EXPECT_FALSE(other);

        ITestTarget** out = held.put();
        EXPECT_EQ(second.references, 1u) << "put released what was held";
        EXPECT_EQ(*out, nullptr);
        first.AddRef(); // what a COM call filling the out-parameter does
        *out = &first;
        EXPECT_EQ(held.get(), &first);
    }
    EXPECT_EQ(first.references, 1u);
    EXPECT_EQ(second.references, 1u);

    ITestTarget* raw = &first;
    first.AddRef();
    error_handling::com_release(raw);
    EXPECT_EQ(first.references, 1u);
    EXPECT_EQ(raw, &first) << "com_release leaves the pointer as it was";
    ITestTarget* none = nullptr;
    error_handling::com_release(none);
}

APTTYPE apartment_of_this_thread() {
    APTTYPE type{};
    APTTYPEQUALIFIER qualifier{};
    return CoGetApartmentType(&type, &qualifier) == S_OK ? type : static_cast<APTTYPE>(-2);
}

TEST(runtime_init_t, joins_the_multithreaded_apartment_for_its_scope) {
    std::thread([] {
        {
            runtime_init_t outer;
            EXPECT_EQ(apartment_of_this_thread(), APTTYPE_MTA);
            {
                runtime_init_t nested; // S_FALSE: already in the apartment
            }
            EXPECT_EQ(apartment_of_this_thread(), APTTYPE_MTA) << "each scope uninitialises once";
        }
        EXPECT_EQ(apartment_of_this_thread(), static_cast<APTTYPE>(-2));
    }).join();
}

TEST(runtime_init_t, a_single_threaded_thread_is_refused_with_the_failure_message) {
    std::thread([] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        try {
            runtime_init_t refused;
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& failure) {
            EXPECT_STREQ(failure.what(), "runtime_init_t failed at 278 in file "
                                         "\"..\\\\..\\\\..\\\\common\\\\cpp\\\\abi-export.cpp\"\n"
                                         " - CoInitializeEx resulted in error!");
        }
        CoUninitialize();
    }).join();
}

} // namespace
