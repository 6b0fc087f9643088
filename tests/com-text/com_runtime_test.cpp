#include "abi-export.h"

#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>

// A stand-in for an engine interface: the check reads its identifier from the declaration.
struct ITestTarget : IUnknown {};
__CRT_UUID_DECL(ITestTarget, 0x5b0c2d61, 0x8f3e, 0x4c1a, 0x9d, 0x27, 0x11, 0x42, 0x6e, 0x3a, 0x90, 0x5f)
struct IOtherTarget : IUnknown {};
__CRT_UUID_DECL(IOtherTarget, 0x5b0c2d62, 0x8f3e, 0x4c1a, 0x9d, 0x27, 0x11, 0x42, 0x6e, 0x3a, 0x90, 0x5f)

namespace {

// A COM object that counts its references and that may speak for the error object of ITestTarget.
class test_target final : public ITestTarget, public ISupportErrorInfo {
public:
    explicit test_target(bool speaks_for_errors) : supports_error_info(speaks_for_errors) {}
    // The check asks for ISupportErrorInfo only.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** out) override {
        *out = id == IID_ISupportErrorInfo && supports_error_info ? static_cast<ISupportErrorInfo*>(this)
                                                                  : nullptr;
        return *out != nullptr ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID id) override {
        return id == __uuidof(ITestTarget) ? S_OK : S_FALSE;
    }

    const bool supports_error_info;
    ULONG references = 1;
};

// Leaves a COM error object with this description on the thread, as a failing engine call would.
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

// What a check made of a result: "returned", or the exception's kind and text.
template <class Check> std::string outcome(Check&& check) {
    try {
        check();
        return "returned";
    } catch (const cpp::exceptional::user_cancelation&) {
        return "user_cancelation";
    } catch (const cpp::threading::thread_cancelation&) {
        return "thread_cancelation";
    } catch (const cpp::exceptional::allocationFailure& failure) {
        return std::string("allocationFailure: ") + failure.what();
    } catch (const std::invalid_argument& failure) {
        return std::string("invalid_argument: ") + failure.what();
    } catch (const error_handling::interface_exception& failure) {
        return "interface_exception " + std::to_string(failure.result()) + ": " + failure.what();
    }
}

class check_result_test : public ::testing::Test {
protected:
    void TearDown() override {
        SetErrorInfo(0, nullptr);
        EXPECT_EQ(target.references, 1u) << "the check released everything it queried";
        EXPECT_EQ(plain.references, 1u);
    }

    runtime_init_t apartment;
    test_target target{true};
    test_target plain{false};
    ITestTarget* const object = &target;
    ITestTarget* const without_support = &plain;
};

TEST_F(check_result_test, results_are_checked_in_order_and_only_failures_read_the_error_object) {
    const IID own = __uuidof(ITestTarget);
    const std::string fail = "interface_exception " + std::to_string(E_FAIL) + ": ";
    const std::string described = "caf\xc3\xa9 - "; // the description in UTF-8, composed
    struct row {
        error_handling::check_context context;
        HRESULT result;
        bool error_object; // one with the description is left on the thread before the check
        std::string expected;
        bool error_object_kept;
    };
    const row rows[] = {
        {{object, own, "", 0}, S_OK, true, "returned", true},
        {{object, own, "", 0}, S_FALSE, true, "returned", true},
        {{object, own, "", 1}, 0x20000100, true, "returned", true},
        {{object, own, "", 0}, 0x20000100, true, "user_cancelation", true},
        {{object, own, "", 1}, static_cast<HRESULT>(0xA0000200), true, "thread_cancelation", true},
        {{object, own, "", 0}, E_OUTOFMEMORY, true, "allocationFailure: " + described, false},
        {{object, own, "make", 0}, E_INVALIDARG, true, "invalid_argument: " + described + "make", false},
        {{object, own, "", 0}, E_FAIL, true, fail + described, false},
        // The description is left out when any step declines.
        {{without_support, own, "", 0}, E_FAIL, true, fail, true},
        {{object, __uuidof(IOtherTarget), "call", 0}, E_FAIL, true, fail + "call", true},
        {{nullptr, own, "call", 0}, E_FAIL, true, fail + "call", true},
        {{object, own, "", 0}, E_FAIL, false, fail, false},
    };
    for (const row& r : rows) {
        SetErrorInfo(0, nullptr);
        if (r.error_object)
            set_error_description(L"cafe\u0301");
        EXPECT_EQ(outcome([&] { error_handling::check_result(r.context, r.result); }), r.expected)
            << std::hex << r.result;
        EXPECT_EQ(thread_has_error_object(), r.error_object_kept) << std::hex << r.result;
    }
}

TEST_F(check_result_test, the_call_site_forms_take_the_interface_from_the_pointer_type) {
    set_error_description(L"engine text");
    EXPECT_EQ(outcome([&] { error_handling::check_result(com_ptr<ITestTarget>::retain(&target), E_FAIL); }),
              "interface_exception " + std::to_string(E_FAIL) + ": engine text - ");
    // The creation form: no object yet.
    EXPECT_EQ(outcome([] { error_handling::check_result<ITestTarget>(nullptr, E_NOTIMPL); }),
              "interface_exception " + std::to_string(E_NOTIMPL) + ": ");
}

// A failure travels by value (thrown, kept in an exception_ptr, moved into a result): whatever is left
// behind by a move is still an exception whose text can be read.
TEST(interface_exception, a_moved_from_exception_keeps_its_text_and_result) {
    error_handling::interface_exception original(E_FAIL, "engine text - ");
    const error_handling::interface_exception moved(std::move(original));
    EXPECT_STREQ(moved.what(), "engine text - ");
    EXPECT_STREQ(original.what(), "engine text - ");
    EXPECT_EQ(original.result(), E_FAIL);

    error_handling::interface_exception assigned(E_NOTIMPL, "");
    assigned = std::move(original);
    EXPECT_STREQ(assigned.what(), "engine text - ");
    EXPECT_EQ(assigned.result(), E_FAIL);
    EXPECT_STREQ(original.what(), "engine text - ");
}

TEST(string_owner, owns_exactly_the_text_it_is_given) {
    const std::wstring with_zero(L"a\0b", 3);
    for (const std::wstring& text : {std::wstring(), with_zero}) {
        const string_owner counted(text);
        ASSERT_NE(counted.get(), nullptr) << "an empty text is an empty string, not null";
        EXPECT_EQ(std::wstring(counted.get(), SysStringLen(counted.get())), text);
    }
    const wchar_t text[] = L"resize";
    const string_owner copied(text, true);
    EXPECT_NE(copied.get(), text);
    EXPECT_STREQ(copied.get(), L"resize");
    EXPECT_EQ(string_owner(nullptr, true).get(), nullptr);
    const BSTR made = SysAllocString(L"adopted");
    string_owner adopted(made, false);
    const string_owner moved(std::move(adopted));
    EXPECT_EQ(adopted.get(), nullptr);
    EXPECT_EQ(moved.get(), made);
}

TEST(com_ptr, releases_what_it_held_on_move_assignment_put_and_destruction) {
    test_target first(false), second(false);
    {
        com_ptr<ITestTarget> held = com_ptr<ITestTarget>::retain(&first);
        held = com_ptr<ITestTarget>::retain(&second);
        EXPECT_EQ(first.references, 1u);
        *held.put() = com_ptr<ITestTarget>::retain(&first).detach();
        EXPECT_EQ(second.references, 1u);
    }
    EXPECT_EQ(first.references, 1u);
}

TEST(runtime_init_t, joins_the_multithreaded_apartment_for_its_scope_and_refuses_a_single_threaded_one) {
    std::thread([] {
        APTTYPE type;
        APTTYPEQUALIFIER qualifier;
        {
            runtime_init_t outer;
            { runtime_init_t nested; }
            ASSERT_EQ(CoGetApartmentType(&type, &qualifier), S_OK) << "each scope uninitialises once";
            EXPECT_EQ(type, APTTYPE_MTA);
        }
        EXPECT_NE(CoGetApartmentType(&type, &qualifier), S_OK);
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        EXPECT_THROW(runtime_init_t{}, std::runtime_error);
        CoUninitialize();
    }).join();
}

} // namespace
