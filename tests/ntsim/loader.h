// Maps a kernel image (PE32+) into this process as the kernel's loader would: sections at
// their addresses, base relocations applied, every import bound by name through a resolver,
// and the image's unwind data registered so its structured exception handlers run.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ntsim {

struct LoadedImage {
    uint8_t* base = nullptr;
    size_t size = 0;
    uintptr_t codeBegin = 0; // executable sections
    uintptr_t codeEnd = 0;
    void* entry = nullptr;
    void* functionTable = nullptr;
    uint32_t functionCount = 0;
    std::vector<std::string> imports; // "dll!name", as bound
};

// Returns the address an import is bound to, or null when the model has no such routine.
using ImportResolver = std::function<void*(const std::string& dll, const std::string& name)>;

// Loads the image at `path`. On failure returns false with a message in *error; a missing
// import fails the load and names every routine the model lacks.
bool MapKernelImage(const std::string& path, const ImportResolver& resolve, LoadedImage* image,
               std::string* error);
void UnmapKernelImage(LoadedImage* image);

} // namespace ntsim
