// Prints the size of the screen as Windows programs in this Wine session see it, as "1280x1024".
// With --hold it is a program that keeps the session's wineserver in use: it says "holding", and when a
// line arrives on its input it says "released" and ends; it touches no window or screen meanwhile. A
// program whose server ends is ended too, with exit code 0, so only "released" tells that it ran its
// course.
#include <cstdio>
#include <cstring>

#include <windows.h>

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--hold") == 0) {
        std::puts("holding");
        std::fflush(stdout);
        char line[16];
        if (std::fgets(line, sizeof line, stdin) == nullptr)
            return 1;
        std::puts("released");
        return 0;
    }
    std::printf("%dx%d\n", GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    return 0;
}
