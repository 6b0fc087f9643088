// Reads the message boxes that the calling thread shows while the reader lives and ends each one before
// it appears, so that code which reports failures in a modal box can run inside a test.
#pragma once

#include <string>
#include <vector>

#include <windows.h>

namespace test_support {

struct message_box {
    std::wstring caption;
    std::wstring text;
};

class message_box_reader {
public:
    message_box_reader();
    message_box_reader(const message_box_reader&) = delete;
    message_box_reader& operator=(const message_box_reader&) = delete;
    ~message_box_reader();

    const std::vector<message_box>& boxes() const noexcept { return boxes_; }

private:
    static LRESULT CALLBACK hook(int code, WPARAM wparam, LPARAM lparam);
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

    HHOOK hook_ = nullptr;
    message_box_reader* outer_ = nullptr;
    std::vector<message_box> boxes_;
};

} // namespace test_support
