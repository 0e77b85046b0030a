// Compiled by check.cmake with a codec's own flags, once per header in its table: `#include HEADER`
// must fail for every header a codec may not use, and compile for the result codes.
#include HEADER

int main() {
    return 0;
}
