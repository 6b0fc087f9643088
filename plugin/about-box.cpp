#include "about-box.h"

#include <objbase.h>
#include <commctrl.h>
#include <shellapi.h>

#include <memory>
#include <string>
#include <vector>

#include "host-entry.h"
#include "image-processor.h"
#include "resource.h"
#include "win-common.h"

namespace tessolux {

namespace {

// The logo's size in pixels.
constexpr std::int32_t logo_size = 128;

// What the box owns while it is open, kept in the dialog's user data: the controls only borrow them.
struct about_resources {
    system_ui::font_handle heading;
    system_ui::bitmap_handle logo;
};

// COM for the calls that need it, on a thread that may have none: a thread without an apartment gets a
// single-threaded one for the scope; a thread that has one keeps it as it is.
class com_apartment {
public:
    com_apartment() noexcept : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    com_apartment(const com_apartment&) = delete;
    com_apartment& operator=(const com_apartment&) = delete;
    // S_OK and S_FALSE both count: each is one initialisation to undo. RPC_E_CHANGED_MODE is none.
    ~com_apartment() {
        if (SUCCEEDED(result_))
            CoUninitialize();
    }

private:
    HRESULT result_;
};

// The logo, decoded by the engine; none when no engine is registered. The engine is released before the
// apartment it was made in.
system_ui::bitmap_handle load_logo() {
    const com_apartment apartment;
    const engine_context engine = try_create_engine_context();
    if (!engine.root)
        return {};
    return system_ui::bitmap_handle(load_png_resource(engine, logo_size, module_instance(), IDP_LOGO));
}

void init_about_box(HWND dialog) {
    auto owned = std::make_unique<about_resources>();
    about_resources& resources = *owned;
    SetWindowLongPtrW(dialog, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(owned.release()));

    resources.heading.reset(CreateFontW(20, 0, 0, 0, 0, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                        OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, 0x30,
                                        L"Arial Black"));
    if (resources.heading)
        SendDlgItemMessageW(dialog, IDC_ABOUT_HEADING, WM_SETFONT,
                            reinterpret_cast<WPARAM>(resources.heading.get()), FALSE);

    // A box without its picture is still the about box.
    try {
        resources.logo = load_logo();
    } catch (...) {
    }
    if (resources.logo)
        SendDlgItemMessageW(dialog, IDC_ABOUT_LOGO, STM_SETIMAGE, IMAGE_BITMAP,
                            reinterpret_cast<LPARAM>(resources.logo.get()));

    wchar_t path[4096];
    const DWORD length = GetModuleFileNameW(module_instance(), path, std::size(path));
    if (length != 0 && length < std::size(path))
        show_file_version(dialog, path, IDC_ABOUT_PLUGIN_VERSION);
    wchar_t engine_path[4096] = {};
    if (find_engine_server_path(engine_path))
        show_file_version(dialog, engine_path, IDC_ABOUT_ENGINE_VERSION);
}

// The controls give back what they borrowed before it goes. A logo that the control copied rather than
// kept is the control's copy, and goes too.
void release_about_box(HWND dialog) noexcept {
    const std::unique_ptr<about_resources> resources(
        reinterpret_cast<about_resources*>(SetWindowLongPtrW(dialog, GWLP_USERDATA, 0)));
    SendDlgItemMessageW(dialog, IDC_ABOUT_HEADING, WM_SETFONT, SendMessageW(dialog, WM_GETFONT, 0, 0), FALSE);
    system_ui::bitmap_handle shown(reinterpret_cast<HBITMAP>(
        SendDlgItemMessageW(dialog, IDC_ABOUT_LOGO, STM_SETIMAGE, IMAGE_BITMAP, 0)));
    if (resources && shown.get() == resources->logo.get())
        static_cast<void>(shown.release());
}

void open_link(const NMLINK& link) noexcept {
    // The shell may hand the address to extensions that need COM.
    const com_apartment apartment;
    ShellExecuteW(nullptr, L"open", link.item.szUrl, nullptr, nullptr, SW_SHOW);
}

} // namespace

INT_PTR CALLBACK about_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) noexcept {
    // Nothing may unwind into user32: whatever fails here leaves the box as the template made it.
    try {
        switch (message) {
        case WM_INITDIALOG:
            init_about_box(dialog);
            return TRUE;
        case WM_NOTIFY: {
            const NMHDR& header = *reinterpret_cast<const NMHDR*>(lparam);
            if (header.idFrom == IDC_ABOUT_LINK && (header.code == NM_CLICK || header.code == NM_RETURN))
                open_link(*reinterpret_cast<const NMLINK*>(lparam));
            return TRUE;
        }
        case WM_COMMAND:
            if (LOWORD(wparam) == IDCANCEL)
                EndDialog(dialog, IDCANCEL);
            return TRUE;
        case WM_LBUTTONUP:
        case WM_RBUTTONUP:
            // A click anywhere in the box closes it.
            EndDialog(dialog, IDOK);
            return TRUE;
        case WM_DESTROY:
            release_about_box(dialog);
            return FALSE;
        default:
            return FALSE;
        }
    } catch (...) {
        return FALSE;
    }
}

bool show_file_version(HWND dialog, const wchar_t* path, int control) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0)
        return false;
    std::vector<BYTE> data(size);
    // The read counts only when it leaves no error behind; an error from before must not count against it.
    SetLastError(0);
    if (!GetFileVersionInfoW(path, 0, size, data.data()) || GetLastError() != 0)
        return false;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT info_size = 0;
    if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &info_size) || info == nullptr ||
        info_size < sizeof *info)
        return false;
    const std::wstring text = std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." +
                              std::to_wstring(LOWORD(info->dwFileVersionMS)) + L"." +
                              std::to_wstring(HIWORD(info->dwFileVersionLS)) + L"." +
                              std::to_wstring(LOWORD(info->dwFileVersionLS));
    return SetWindowTextW(GetDlgItem(dialog, control), text.c_str()) != FALSE;
}

void show_about_box(HWND owner) noexcept {
    // The link control exists only in common controls 6: the module's own manifest is active while the
    // box and its controls are made.
    const system_ui::manifest_activation context(module_instance());
    INITCOMMONCONTROLSEX classes{};
    classes.dwSize = sizeof classes;
    classes.dwICC = ICC_STANDARD_CLASSES | ICC_LINK_CLASS;
    InitCommonControlsEx(&classes);
    DialogBoxParamW(module_instance(), MAKEINTRESOURCEW(IDD_ABOUT), owner, &about_proc, 0);
}

} // namespace tessolux
