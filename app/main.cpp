#include <cstdio>

int main() {
    std::fprintf(stderr, "[Kavri] kavri: the app is not built yet\n");
    return 0;
}
