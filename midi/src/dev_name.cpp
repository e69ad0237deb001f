#include "dev_name.hpp"

#include <cstring>

namespace ql5::midi::detail {

void copyDevName(const char* field, std::size_t fieldSize, char (&name)[40]) {
    // The platform terminates the name, but the record comes from outside:
    // never read past the field nor write past the buffer.
    std::size_t length = 0;
    while (length < fieldSize && field[length] != '\0') {
        ++length;
    }
    if (length > sizeof(name) - 1) {
        length = sizeof(name) - 1;
    }
    std::memcpy(name, field, length);
    name[length] = '\0';
}

}  // namespace ql5::midi::detail
