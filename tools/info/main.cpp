// korvex-info: prints the library's version; a smoke check of the public interface.
#include "KorvexAPI.h"

#include <cstdio>

int main() {
    std::printf("KorvexAPI %s\n", korvexAPIVersion());
    return 0;
}
