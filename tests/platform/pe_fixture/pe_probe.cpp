// A small Windows program linked with the installers' instruction slot: it prints the text of its
// own INSTRUCTION resource up to the first zero byte, as the installer reads it. Stamping tests
// use it as a real linker's PE file.

#include <windows.h>

#include <cstdio>
#include <cstring>

int main() {
    HRSRC found = FindResourceW(nullptr, L"INSTRUCTION", MAKEINTRESOURCEW(10));
    if (found == nullptr) {
        std::puts("no resource");
        return 1;
    }
    const DWORD size = SizeofResource(nullptr, found);
    const char* data = static_cast<const char*>(LockResource(LoadResource(nullptr, found)));
    const size_t length = strnlen(data, size);
    std::printf("%lu bytes: ", static_cast<unsigned long>(size));
    std::fwrite(data, 1, length, stdout);
    std::putchar('\n');
    return 0;
}
