// Prints the library's fixed-configuration table as JSON ({"number": [[type, rate], ...]}),
// for the web application's test that its own table says the same.
#include "device/sensors/RemoteConfiguration.h"

#include <cstdio>

int main() {
    std::printf("{");
    const char* separator = "";
    for (int32_t number = 0; number <= 255; ++number) {
        const FixedConfiguration* row = fixedConfiguration(number);
        if (!row)
            continue;
        std::printf("%s\n  \"%d\": [", separator, number);
        for (size_t i = 0; i < row->sensors.size(); ++i)
            std::printf("%s[%d, %.17g]", i ? ", " : "", row->sensors[i].type, row->sensors[i].rate);
        std::printf("]");
        separator = ",";
    }
    std::printf("\n}\n");
    return 0;
}
