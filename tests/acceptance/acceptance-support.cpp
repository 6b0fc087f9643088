#include "acceptance-support.h"

#include <psapi.h>
#include <tlhelp32.h>
#include <commctrl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <unordered_map>

#include "plugin/host-entry.h"
#include "resource.h"
#include "standin-engine.h"

namespace acceptance {

namespace {

// The about box on the calling thread: a dialog with the logo's control.
BOOL CALLBACK find_about_box(HWND window, LPARAM found) {
    wchar_t kind[16];
    if (GetClassNameW(window, kind, 16) != 0 && std::wstring(kind) == L"#32770" &&
        GetDlgItem(window, IDC_ABOUT_LOGO) != nullptr) {
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK find_menu(HWND window, LPARAM found) {
    wchar_t kind[16] = {};
    GetClassNameW(window, kind, 16);
    if (std::wstring(kind) == L"#32768" && IsWindowVisible(window) &&
        GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId()) {
        *reinterpret_cast<bool*>(found) = true;
        return FALSE;
    }
    return TRUE;
}

// A popup menu of the calling thread is on the screen.
bool menu_open() {
    bool found = false;
    EnumWindows(&find_menu, reinterpret_cast<LPARAM>(&found));
    return found;
}

} // namespace

// The module ----------------------------------------------------------------------------------------------

private_module::private_module(const std::wstring& name) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    folder_ = std::wstring(temp) + L"tessolux-" + name + L"-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder_.c_str(), nullptr);
    path_ = folder_ + L"\\Tessolux3.8bf";
    if (!CopyFileW(L"Tessolux3.8bf", path_.c_str(), FALSE))
        throw std::runtime_error("the module cannot be copied");
    module_.emplace(path_);
    settings_key_ =
        L"Software\\Veltrin Media\\Tessolux 3 Plugin\\" + tessolux::instance_key(module_->handle());
    RegDeleteTreeW(HKEY_CURRENT_USER, settings_key_.c_str());
}

private_module::~private_module() {
    module_.reset();
    RegDeleteTreeW(HKEY_CURRENT_USER, settings_key_.c_str());
    DeleteFileW(path_.c_str());
    RemoveDirectoryW(folder_.c_str());
}

// The document -------------------------------------------------------------------------------------------

filter_host::image make_photo(std::int32_t width, std::int32_t height, std::int16_t planes,
                              std::int32_t depth) {
    filter_host::image photo(width, height, planes, depth);
    const double top = depth == 16 ? 32768.0 : 255.0;
    std::uint32_t noise = 12345;
    for (std::int32_t y = 0; y != height; ++y)
        for (std::int32_t x = 0; x != width; ++x) {
            const double u = static_cast<double>(x) / width;
            const double v = static_cast<double>(y) / height;
            // Sky above, ground below, a sun and a dark tree trunk.
            double rgb[3] = {0.35 + 0.3 * v, 0.55 + 0.2 * v, 0.9 - 0.5 * v};
            if (v > 0.62)
                rgb[0] = 0.3 + 0.2 * u, rgb[1] = 0.5 - 0.2 * v, rgb[2] = 0.2;
            if (std::hypot(u - 0.75, v - 0.25) < 0.08)
                rgb[0] = rgb[1] = 1.0, rgb[2] = 0.8;
            if (u > 0.2 && u < 0.26 && v > 0.35)
                rgb[0] = 0.25, rgb[1] = 0.15, rgb[2] = 0.1;
            for (std::int16_t plane = 0; plane != planes; ++plane) {
                noise = noise * 1664525u + 1013904223u;
                const double grain = (static_cast<double>(noise >> 24) - 128.0) / 2048.0;
                const double value = plane == 3                 ? 1.0 - 0.5 * u
                                     : plane < 3 && planes >= 3 ? rgb[plane]
                                                                : rgb[1];
                photo.at(x, y, plane) =
                    static_cast<std::uint16_t>(std::lround(std::clamp(value + grain, 0.0, 1.0) * top));
            }
        }
    return photo;
}

filter_host::selection make_selection(std::int32_t width, std::int32_t height) {
    filter_host::selection mask{width, height,
                                std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height)};
    for (std::int32_t y = 0; y != height; ++y)
        for (std::int32_t x = 0; x != width; ++x) {
            const double r =
                std::hypot((x - width / 2.0) / (width * 0.35), (y - height / 2.0) / (height * 0.35));
            mask.bytes[static_cast<std::size_t>(y) * width + x] =
                static_cast<std::uint8_t>(std::clamp((1.2 - r) * 5.0, 0.0, 1.0) * 255.0);
        }
    return mask;
}

// The user
// ---------------------------------------------------------------------------------------------------

namespace user {

namespace {

BOOL CALLBACK find_panel(HWND child, LPARAM found) {
    if (GetDlgItem(child, IDC_DENOISE_INTENSITY) != nullptr) {
        *reinterpret_cast<HWND*>(found) = child;
        return FALSE;
    }
    return TRUE;
}

} // namespace

HWND panel_of(HWND dialog) {
    HWND panel = nullptr;
    EnumChildWindows(dialog, &find_panel, reinterpret_cast<LPARAM>(&panel));
    return panel;
}

step move_slider(int id, int value) {
    return [id, value](HWND dialog) {
        const HWND panel = panel_of(dialog);
        const HWND slider = GetDlgItem(panel, id);
        SendMessageW(slider, TBM_SETPOS, TRUE, value);
        SendMessageW(panel, WM_HSCROLL, MAKEWPARAM(TB_ENDTRACK, 0), reinterpret_cast<LPARAM>(slider));
        return true;
    };
}

namespace {

// What a click on a button of the panel sends: a check box changes its check first.
void press_panel_button(HWND panel, int id) {
    const HWND button = GetDlgItem(panel, id);
    if ((GetWindowLongW(button, GWL_STYLE) & BS_TYPEMASK) == BS_AUTOCHECKBOX)
        SendMessageW(button, BM_SETCHECK, IsDlgButtonChecked(panel, id) ? BST_UNCHECKED : BST_CHECKED, 0);
    SendMessageW(panel, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

} // namespace

step click_panel(int id) {
    return [id](HWND dialog) {
        press_panel_button(panel_of(dialog), id);
        return true;
    };
}

step ensure_stage_open(int check_id, int arrow_id) {
    return [check_id, arrow_id](HWND dialog) {
        const HWND panel = panel_of(dialog);
        if (!IsDlgButtonChecked(panel, check_id))
            press_panel_button(panel, check_id);
        wchar_t arrow[4] = {};
        GetDlgItemTextW(panel, arrow_id, arrow, 4);
        if (std::wstring(arrow) != L"\u25b2")
            press_panel_button(panel, arrow_id);
        return true;
    };
}

step command(int id) {
    return test_support::send_command(id);
}

step drag(POINT from, POINT to, WPARAM keys) {
    return [from, to, keys](HWND dialog) {
        PostMessageW(dialog, WM_MOUSEMOVE, keys, MAKELPARAM(from.x, from.y));
        PostMessageW(dialog, WM_LBUTTONDOWN, keys | MK_LBUTTON, MAKELPARAM(from.x, from.y));
        for (int i = 1; i <= 4; ++i) {
            const LONG x = from.x + (to.x - from.x) * i / 4;
            const LONG y = from.y + (to.y - from.y) * i / 4;
            PostMessageW(dialog, WM_MOUSEMOVE, keys | MK_LBUTTON, MAKELPARAM(x, y));
        }
        PostMessageW(dialog, WM_LBUTTONUP, keys, MAKELPARAM(to.x, to.y));
        return true;
    };
}

step wheel(POINT at, int notches) {
    return [at, notches](HWND dialog) {
        POINT screen = at;
        ClientToScreen(dialog, &screen);
        PostMessageW(dialog, WM_MOUSEWHEEL, MAKEWPARAM(0, WHEEL_DELTA * notches),
                     MAKELPARAM(screen.x, screen.y));
        return true;
    };
}

step click(POINT at) {
    // The button goes down and up where the pointer rests: the system sends no move in between.
    return [at](HWND dialog) {
        PostMessageW(dialog, WM_MOUSEMOVE, 0, MAKELPARAM(at.x, at.y));
        PostMessageW(dialog, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(at.x, at.y));
        PostMessageW(dialog, WM_LBUTTONUP, 0, MAKELPARAM(at.x, at.y));
        return true;
    };
}

step menu_key(WPARAM key) {
    return [key](HWND dialog) {
        if (!menu_open())
            return false;
        PostMessageW(dialog, WM_KEYDOWN, key, 1);
        PostMessageW(dialog, WM_KEYUP, key, 0xC0000001);
        return true;
    };
}

step close_about_box() {
    return [](HWND) {
        HWND box = nullptr;
        EnumThreadWindows(GetCurrentThreadId(), &find_about_box, reinterpret_cast<LPARAM>(&box));
        if (box == nullptr)
            return false;
        PostMessageW(box, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(20, 230));
        PostMessageW(box, WM_LBUTTONUP, 0, MAKELPARAM(20, 230));
        return true;
    };
}

step read_panel_text(int id, std::wstring& text) {
    return [id, &text](HWND dialog) {
        // Steps run from a timer, which comes only once no posted message waits.
        wchar_t buffer[256] = {};
        GetDlgItemTextW(panel_of(dialog), id, buffer, 256);
        text = buffer;
        return true;
    };
}

} // namespace user

// The about box
// ----------------------------------------------------------------------------------------------

namespace {

struct about_visit {
    bool by_escape = false;
    about_seen seen;
    std::chrono::steady_clock::time_point deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(30);
};

thread_local about_visit* visit = nullptr;

std::wstring text_of(HWND window) {
    wchar_t text[256] = {};
    return {text, static_cast<std::size_t>(GetWindowTextW(window, text, 256))};
}

void CALLBACK look_at_about_box(HWND, UINT, UINT_PTR, DWORD) {
    HWND box = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), &find_about_box, reinterpret_cast<LPARAM>(&box));
    if (box == nullptr || visit == nullptr)
        return;
    about_seen& seen = visit->seen;
    if (std::chrono::steady_clock::now() > visit->deadline) {
        seen.closed = false;
        EndDialog(box, 0);
        return;
    }
    if (seen.shown)
        return; // the close is on its way
    seen.shown = true;
    seen.heading = text_of(GetDlgItem(box, IDC_ABOUT_HEADING));
    seen.plugin_version = text_of(GetDlgItem(box, IDC_ABOUT_PLUGIN_VERSION));
    seen.engine_version = text_of(GetDlgItem(box, IDC_ABOUT_ENGINE_VERSION));
    seen.logo =
        reinterpret_cast<HBITMAP>(SendDlgItemMessageW(box, IDC_ABOUT_LOGO, STM_GETIMAGE, IMAGE_BITMAP, 0));
    BITMAP shape{};
    if (seen.logo != nullptr && GetObjectW(seen.logo, sizeof shape, &shape) != 0)
        seen.logo_size = {shape.bmWidth, shape.bmHeight};
    seen.heading_font =
        reinterpret_cast<HFONT>(SendDlgItemMessageW(box, IDC_ABOUT_HEADING, WM_GETFONT, 0, 0));
    // A click on the box's background below the logo, or Escape where the keyboard focus is.
    if (visit->by_escape) {
        const HWND focus = GetFocus();
        PostMessageW(focus != nullptr ? focus : box, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    } else {
        PostMessageW(box, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(20, 230));
        PostMessageW(box, WM_LBUTTONUP, 0, MAKELPARAM(20, 230));
    }
}

} // namespace

about_seen show_and_close_about(filter_host::plugin_module& module, bool by_escape) {
    about_visit here;
    here.by_escape = by_escape;
    about_visit* const outer = std::exchange(visit, &here);
    const UINT_PTR timer = SetTimer(nullptr, 0, 20, &look_at_about_box);
    filter_host::show_about(module);
    KillTimer(nullptr, timer);
    visit = outer;
    return here.seen;
}

// The object census
// -------------------------------------------------------------------------------------------

namespace {

struct census_record {
    std::mutex lock;
    struct made_object {
        HGDIOBJ object;
        const char* made_by; // the function
        void* site;          // where in the module it was asked for
    };
    // The objects the module made and has not deleted: a handle it deleted may come back as another's
    // object, which is not the module's to answer for.
    std::unordered_map<HGDIOBJ, made_object> gdi;
    std::size_t gdi_made = 0;
    std::vector<HWND> windows;
    std::vector<HMENU> menus;
    std::vector<HACCEL> accelerators;
    std::vector<HICON> icons;
    std::size_t user_made = 0;
    std::vector<void*> failed_deletions; // where in the module each was asked for
    std::size_t image_lists_made = 0;
    std::size_t image_lists_destroyed = 0;
};

census_record& recorded() {
    static census_record record;
    return record;
}

template <class Handle, class List> Handle keep(Handle handle, List census_record::*list) {
    if (handle != nullptr) {
        const std::lock_guard guard(recorded().lock);
        (recorded().*list).push_back(handle);
        ++recorded().user_made;
    }
    return handle;
}

// Inlined into each hook, so that the return address is the module's call site.
#define keep_gdi(handle, made_by) keep_gdi_at(handle, made_by, __builtin_return_address(0))

template <class Handle> Handle keep_gdi_at(Handle handle, const char* made_by, void* site) {
    if (handle != nullptr) {
        const std::lock_guard guard(recorded().lock);
        recorded().gdi[handle] = {handle, made_by, site};
        ++recorded().gdi_made;
    }
    return handle;
}

// A deletion that fails leaves the object alive, and so does one of an object still selected into a DC
// (Wine answers success and deletes it once it is selected out): the census keeps those, and where the
// module asked for a failed one.
template <class Handle> BOOL forget_if_gone(BOOL deleted, Handle object, void* site) {
    const std::lock_guard guard(recorded().lock);
    if (!deleted && object != nullptr)
        recorded().failed_deletions.push_back(site);
    else if (GetObjectType(object) == 0)
        recorded().gdi.erase(object);
    return deleted;
}

BOOL WINAPI census_DeleteObject(HGDIOBJ object) {
    return forget_if_gone(DeleteObject(object), object, __builtin_return_address(0));
}
BOOL WINAPI census_DeleteDC(HDC dc) {
    return forget_if_gone(DeleteDC(dc), dc, __builtin_return_address(0));
}

HBITMAP WINAPI census_CreateCompatibleBitmap(HDC dc, int width, int height) {
    return keep_gdi(CreateCompatibleBitmap(dc, width, height), "CreateCompatibleBitmap");
}
HDC WINAPI census_CreateCompatibleDC(HDC dc) {
    return keep_gdi(CreateCompatibleDC(dc), "CreateCompatibleDC");
}
HBITMAP WINAPI census_CreateDIBSection(HDC dc, const BITMAPINFO* info, UINT usage, void** bits,
                                       HANDLE section, DWORD offset) {
    return keep_gdi(CreateDIBSection(dc, info, usage, bits, section, offset), "CreateDIBSection");
}
HBITMAP WINAPI census_CreateBitmap(int width, int height, UINT planes, UINT bits, const void* data) {
    return keep_gdi(CreateBitmap(width, height, planes, bits, data), "CreateBitmap");
}
HFONT WINAPI census_CreateFontW(int height, int width, int escapement, int orientation, int weight,
                                DWORD italic, DWORD underline, DWORD strike, DWORD charset, DWORD precision,
                                DWORD clip, DWORD quality, DWORD pitch, LPCWSTR face) {
    return keep_gdi(CreateFontW(height, width, escapement, orientation, weight, italic, underline, strike,
                                charset, precision, clip, quality, pitch, face),
                    "CreateFontW");
}
HFONT WINAPI census_CreateFontIndirectW(const LOGFONTW* font) {
    return keep_gdi(CreateFontIndirectW(font), "CreateFontIndirectW");
}
HPEN WINAPI census_CreatePen(int style, int width, COLORREF colour) {
    return keep_gdi(CreatePen(style, width, colour), "CreatePen");
}
HBRUSH WINAPI census_CreateSolidBrush(COLORREF colour) {
    return keep_gdi(CreateSolidBrush(colour), "CreateSolidBrush");
}
HRGN WINAPI census_CreateRectRgn(int left, int top, int right, int bottom) {
    return keep_gdi(CreateRectRgn(left, top, right, bottom), "CreateRectRgn");
}
HWND WINAPI census_CreateWindowExW(DWORD ex_style, LPCWSTR kind, LPCWSTR name, DWORD style, int x, int y,
                                   int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                                   LPVOID parameter) {
    return keep(
        CreateWindowExW(ex_style, kind, name, style, x, y, width, height, parent, menu, instance, parameter),
        &census_record::windows);
}
HWND WINAPI census_CreateDialogParamW(HINSTANCE instance, LPCWSTR name, HWND owner, DLGPROC procedure,
                                      LPARAM parameter) {
    return keep(CreateDialogParamW(instance, name, owner, procedure, parameter), &census_record::windows);
}
HMENU WINAPI census_LoadMenuW(HINSTANCE instance, LPCWSTR name) {
    return keep(LoadMenuW(instance, name), &census_record::menus);
}
HMENU WINAPI census_CreatePopupMenu() {
    return keep(CreatePopupMenu(), &census_record::menus);
}
HACCEL WINAPI census_LoadAcceleratorsW(HINSTANCE instance, LPCWSTR name) {
    return keep(LoadAcceleratorsW(instance, name), &census_record::accelerators);
}
HICON WINAPI census_CreateIconIndirect(PICONINFO info) {
    return keep(CreateIconIndirect(info), &census_record::icons);
}
HANDLE WINAPI census_CopyImage(HANDLE image, UINT type, int width, int height, UINT flags) {
    const HANDLE copy = CopyImage(image, type, width, height, flags);
    if (type == IMAGE_BITMAP)
        keep_gdi(copy, "CopyImage");
    else if (type == IMAGE_ICON || type == IMAGE_CURSOR)
        keep(static_cast<HICON>(copy), &census_record::icons);
    return copy;
}
HIMAGELIST WINAPI census_ImageList_Create(int width, int height, UINT flags, int initial, int grow) {
    const HIMAGELIST list = ImageList_Create(width, height, flags, initial, grow);
    if (list != nullptr) {
        const std::lock_guard guard(recorded().lock);
        ++recorded().image_lists_made;
    }
    return list;
}
BOOL WINAPI census_ImageList_Destroy(HIMAGELIST list) {
    const BOOL destroyed = ImageList_Destroy(list);
    if (destroyed) {
        const std::lock_guard guard(recorded().lock);
        ++recorded().image_lists_destroyed;
    }
    return destroyed;
}
HICON WINAPI census_ImageList_GetIcon(HIMAGELIST list, int index, UINT flags) {
    return keep(ImageList_GetIcon(list, index, flags), &census_record::icons);
}

struct hook {
    const char* dll;
    const char* name;
    void* function;
};

template <class Function> void* address(Function* function) {
    return reinterpret_cast<void*>(function);
}

const hook hooks[] = {
    {"gdi32.dll", "DeleteObject", address(&census_DeleteObject)},
    {"gdi32.dll", "DeleteDC", address(&census_DeleteDC)},
    {"gdi32.dll", "CreateCompatibleBitmap", address(&census_CreateCompatibleBitmap)},
    {"gdi32.dll", "CreateCompatibleDC", address(&census_CreateCompatibleDC)},
    {"gdi32.dll", "CreateDIBSection", address(&census_CreateDIBSection)},
    {"gdi32.dll", "CreateBitmap", address(&census_CreateBitmap)},
    {"gdi32.dll", "CreateFontW", address(&census_CreateFontW)},
    {"gdi32.dll", "CreateFontIndirectW", address(&census_CreateFontIndirectW)},
    {"gdi32.dll", "CreatePen", address(&census_CreatePen)},
    {"gdi32.dll", "CreateSolidBrush", address(&census_CreateSolidBrush)},
    {"gdi32.dll", "CreateRectRgn", address(&census_CreateRectRgn)},
    {"user32.dll", "CreateWindowExW", address(&census_CreateWindowExW)},
    {"user32.dll", "CreateDialogParamW", address(&census_CreateDialogParamW)},
    {"user32.dll", "LoadMenuW", address(&census_LoadMenuW)},
    {"user32.dll", "CreatePopupMenu", address(&census_CreatePopupMenu)},
    {"user32.dll", "LoadAcceleratorsW", address(&census_LoadAcceleratorsW)},
    {"user32.dll", "CreateIconIndirect", address(&census_CreateIconIndirect)},
    {"user32.dll", "CopyImage", address(&census_CopyImage)},
    {"comctl32.dll", "ImageList_Create", address(&census_ImageList_Create)},
    {"comctl32.dll", "ImageList_Destroy", address(&census_ImageList_Destroy)},
    {"comctl32.dll", "ImageList_GetIcon", address(&census_ImageList_GetIcon)},
};

void write_slot(void** slot, void* value) {
    DWORD protection = 0;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
    *slot = value;
    VirtualProtect(slot, sizeof *slot, protection, &protection);
}

bool icon_alive(HICON icon) {
    ICONINFO info{};
    if (!GetIconInfo(icon, &info))
        return false;
    // The information came with copies of the icon's bitmaps, which are ours to delete.
    using bitmap_holder = std::unique_ptr<std::remove_pointer_t<HBITMAP>, decltype(&DeleteObject)>;
    const bitmap_holder colour(info.hbmColor, &DeleteObject);
    const bitmap_holder mask(info.hbmMask, &DeleteObject);
    return true;
}

} // namespace

object_census::object_census(HMODULE module) : module_(module) {
    // The import table of the module as its file describes it: each imported DLL with the names it
    // imports (the lookup table) and the slots the calls go through (the address table).
    auto* const base = reinterpret_cast<BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* dll = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         dll->Name != 0; ++dll) {
        const char* const dll_name = reinterpret_cast<const char*>(base + dll->Name);
        const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(
            base + (dll->OriginalFirstThunk != 0 ? dll->OriginalFirstThunk : dll->FirstThunk));
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const char* const name =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name;
            for (const hook& h : hooks)
                if (lstrcmpiA(h.dll, dll_name) == 0 && lstrcmpA(h.name, name) == 0) {
                    void** const slot = reinterpret_cast<void**>(&slots->u1.Function);
                    patched_.emplace_back(slot, *slot);
                    write_slot(slot, h.function);
                }
        }
    }
}

object_census::~object_census() {
    for (const auto& [slot, original] : patched_)
        write_slot(slot, original);
}

namespace {

// Drops the dead handles of a list and answers how many live. A handle, once dead, may come back as
// another's object: it is not looked at again.
template <class Handle, class Alive> std::size_t keep_alive(std::vector<Handle>& handles, Alive alive) {
    std::erase_if(handles, [&](Handle handle) { return !alive(handle); });
    return handles.size();
}

} // namespace

object_census::counts object_census::take() const {
    census_record& record = recorded();
    const std::lock_guard guard(record.lock);
    counts now;
    now.gdi_made = record.gdi_made;
    std::erase_if(record.gdi, [](const auto& made) { return GetObjectType(made.first) == 0; });
    now.gdi_alive = record.gdi.size();
    now.user_made = record.user_made + record.image_lists_made;
    now.user_alive =
        keep_alive(record.windows, [](HWND h) { return IsWindow(h) != FALSE; }) +
        keep_alive(record.menus, [](HMENU h) { return IsMenu(h) != FALSE; }) +
        keep_alive(record.accelerators, [](HACCEL h) { return CopyAcceleratorTableW(h, nullptr, 0) > 0; }) +
        keep_alive(record.icons, &icon_alive) + (record.image_lists_made - record.image_lists_destroyed);
    return now;
}

std::vector<std::string> object_census::gdi_survivors() const {
    census_record& record = recorded();
    const std::lock_guard guard(record.lock);
    std::vector<std::string> survivors;
    for (const auto& [handle, made] : record.gdi) {
        const auto& [object, made_by, site] = made;
        const DWORD kind = GetObjectType(object);
        if (kind == 0)
            continue;
        std::string text = kind == OBJ_BITMAP  ? "bitmap"
                           : kind == OBJ_FONT  ? "font"
                           : kind == OBJ_PEN   ? "pen"
                           : kind == OBJ_BRUSH ? "brush"
                           : kind == OBJ_MEMDC ? "memory DC"
                                               : "object of kind " + std::to_string(kind);
        BITMAP bitmap{};
        if (kind == OBJ_BITMAP && GetObjectW(object, sizeof bitmap, &bitmap) != 0)
            text += " " + std::to_string(bitmap.bmWidth) + " x " + std::to_string(bitmap.bmHeight) + " at " +
                    std::to_string(bitmap.bmBitsPixel) + " bits";
        char where[48];
        std::snprintf(where, sizeof where, " at module offset 0x%lx",
                      static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(site) -
                                                 reinterpret_cast<std::uintptr_t>(module_)));
        survivors.push_back(text + ", made by " + made_by + where);
    }
    for (void* const site : record.failed_deletions) {
        char where[64];
        std::snprintf(where, sizeof where, "a DeleteObject that failed, asked for at module offset 0x%lx",
                      static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(site) -
                                                 reinterpret_cast<std::uintptr_t>(module_)));
        survivors.push_back(where);
    }
    return survivors;
}

// Process figures
// --------------------------------------------------------------------------------------------

namespace {

// The handles of this process in the system's handle list: where GetProcessHandleCount answers 0 (Wine),
// the list still has them.
std::uint32_t listed_handles() {
    using query_function = LONG(WINAPI*)(ULONG kind, void* buffer, ULONG size, ULONG* needed);
    const auto query = reinterpret_cast<query_function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr)
        return 0;
    struct handle_entry {
        ULONG process;
        BYTE type;
        BYTE flags;
        USHORT value;
        void* object;
        ACCESS_MASK access;
    };
    constexpr ULONG system_handle_information = 16;
    std::vector<std::uint8_t> buffer(1 << 20);
    ULONG needed = 0;
    LONG status = 0;
    // STATUS_INFO_LENGTH_MISMATCH: the list outgrew the buffer.
    while ((status = query(system_handle_information, buffer.data(), static_cast<ULONG>(buffer.size()),
                           &needed)) == static_cast<LONG>(0xC0000004))
        buffer.resize(buffer.size() * 2);
    if (status != 0)
        return 0;
    ULONG count = 0;
    std::memcpy(&count, buffer.data(), sizeof count);
    const auto* entries = reinterpret_cast<const handle_entry*>(buffer.data() + sizeof(ULONG_PTR));
    return static_cast<std::uint32_t>(std::count_if(entries, entries + count, [](const handle_entry& entry) {
        return entry.process == GetCurrentProcessId();
    }));
}

} // namespace

process_figures measure_process() {
    process_figures figures;
    DWORD handles = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handles);
    figures.handles = handles != 0 ? handles : listed_handles();

    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        THREADENTRY32 thread{};
        thread.dwSize = sizeof thread;
        for (BOOL more = Thread32First(snapshot, &thread); more; more = Thread32Next(snapshot, &thread))
            if (thread.th32OwnerProcessID == GetCurrentProcessId())
                ++figures.threads;
        CloseHandle(snapshot);
    }

    figures.engine_objects = test_support::live_engine_objects();

    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof memory;
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                             sizeof memory))
        // Wine leaves the private usage 0 and counts the process's anonymous memory as its page-file usage.
        figures.private_bytes = memory.PrivateUsage != 0 ? memory.PrivateUsage : memory.PagefileUsage;
    return figures;
}

} // namespace acceptance
