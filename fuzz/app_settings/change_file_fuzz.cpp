// The association change file as the elevated one-shot reads it: any bytes.
#include "app/associations.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    for (const vostrale::app::AssociationChange& change : vostrale::app::ParseChangeFile(bytes)) {
        if (!vostrale::app::IsOfferedExtension(change.extension))
            __builtin_trap(); // only the offered extensions may come out
    }
    return 0;
}
