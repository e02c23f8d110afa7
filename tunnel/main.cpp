#include <cstdio>

int main() {
    std::fprintf(stderr, "[Kavri] durnel: the tunnel extension is not wired up yet\n");
    return 0;
}
