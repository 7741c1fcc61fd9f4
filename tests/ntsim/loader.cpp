#include "tests/ntsim/loader.h"

#include "tests/ntsim/host.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace ntsim {
namespace {

template <typename T>
bool At(const std::vector<uint8_t>& file, size_t offset, T* out) {
    if (offset > file.size() || file.size() - offset < sizeof(T))
        return false;
    std::memcpy(out, file.data() + offset, sizeof(T));
    return true;
}

bool Inside(const LoadedImage& image, uint32_t rva, size_t length) {
    return rva <= image.size && image.size - rva >= length;
}

} // namespace

bool MapKernelImage(const std::string& path, const ImportResolver& resolve, LoadedImage* image,
               std::string* error) {
    *image = LoadedImage();
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), {});
    if (file.empty()) {
        *error = "cannot read " + path;
        return false;
    }
    IMAGE_DOS_HEADER dos;
    IMAGE_NT_HEADERS64 nt;
    if (!At(file, 0, &dos) || dos.e_magic != IMAGE_DOS_SIGNATURE ||
        !At(file, size_t(dos.e_lfanew), &nt) || nt.Signature != IMAGE_NT_SIGNATURE ||
        nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC ||
        nt.FileHeader.Machine != IMAGE_FILE_MACHINE_AMD64) {
        *error = "not an x64 PE image";
        return false;
    }
    const IMAGE_OPTIONAL_HEADER64& opt = nt.OptionalHeader;
    if (opt.Subsystem != IMAGE_SUBSYSTEM_NATIVE) {
        *error = "not a native (kernel) image";
        return false;
    }
    image->size = opt.SizeOfImage;
    image->base = host::AllocateImage(image->size);
    if (!image->base || opt.SizeOfHeaders > file.size() || opt.SizeOfHeaders > image->size) {
        *error = "cannot map the image";
        return false;
    }
    std::memcpy(image->base, file.data(), opt.SizeOfHeaders);
    size_t sectionTable =
        size_t(dos.e_lfanew) + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
        nt.FileHeader.SizeOfOptionalHeader;
    std::vector<IMAGE_SECTION_HEADER> sections(nt.FileHeader.NumberOfSections);
    for (size_t i = 0; i < sections.size(); ++i) {
        IMAGE_SECTION_HEADER& s = sections[i];
        if (!At(file, sectionTable + i * sizeof(s), &s) ||
            !Inside(*image, s.VirtualAddress, std::max(s.Misc.VirtualSize, s.SizeOfRawData)) ||
            s.PointerToRawData > file.size() || file.size() - s.PointerToRawData < s.SizeOfRawData) {
            *error = "a section lies outside the image";
            UnmapKernelImage(image);
            return false;
        }
        std::memcpy(image->base + s.VirtualAddress, file.data() + s.PointerToRawData,
                    std::min(s.SizeOfRawData, std::max(s.Misc.VirtualSize, s.SizeOfRawData)));
    }

    // Base relocations: only 64-bit absolute fixups belong in an x64 image.
    int64_t delta = int64_t(uintptr_t(image->base)) - int64_t(opt.ImageBase);
    const IMAGE_DATA_DIRECTORY& relocs = opt.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC];
    if (!relocs.Size) {
        *error = "no base relocations";
        UnmapKernelImage(image);
        return false;
    }
    for (uint32_t off = 0; off + sizeof(IMAGE_BASE_RELOCATION) <= relocs.Size;) {
        IMAGE_BASE_RELOCATION block;
        std::memcpy(&block, image->base + relocs.VirtualAddress + off, sizeof(block));
        if (block.SizeOfBlock < sizeof(block) || off + block.SizeOfBlock > relocs.Size)
            break;
        const uint16_t* entries = reinterpret_cast<const uint16_t*>(
            image->base + relocs.VirtualAddress + off + sizeof(block));
        for (uint32_t i = 0; i < (block.SizeOfBlock - sizeof(block)) / 2; ++i) {
            uint16_t type = entries[i] >> 12;
            uint32_t rva = block.VirtualAddress + (entries[i] & 0xFFF);
            if (type == IMAGE_REL_BASED_ABSOLUTE)
                continue;
            if (type != IMAGE_REL_BASED_DIR64 || !Inside(*image, rva, 8)) {
                *error = "unexpected relocation type " + std::to_string(type);
                UnmapKernelImage(image);
                return false;
            }
            uint64_t value;
            std::memcpy(&value, image->base + rva, 8);
            value += uint64_t(delta);
            std::memcpy(image->base + rva, &value, 8);
        }
        off += block.SizeOfBlock;
    }

    // Imports, by name only; every one the model lacks is listed.
    std::string missing;
    const IMAGE_DATA_DIRECTORY& imports = opt.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (uint32_t off = 0; imports.Size && off + sizeof(IMAGE_IMPORT_DESCRIPTOR) <= imports.Size;
         off += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        IMAGE_IMPORT_DESCRIPTOR d;
        std::memcpy(&d, image->base + imports.VirtualAddress + off, sizeof(d));
        if (!d.Name)
            break;
        std::string dll(reinterpret_cast<const char*>(image->base + d.Name));
        uint32_t lookup = d.OriginalFirstThunk ? d.OriginalFirstThunk : d.FirstThunk;
        for (uint32_t i = 0;; ++i) {
            uint64_t thunk;
            std::memcpy(&thunk, image->base + lookup + 8 * i, 8);
            if (!thunk)
                break;
            if (thunk & IMAGE_ORDINAL_FLAG64) {
                missing += " " + dll + "!#" + std::to_string(thunk & 0xFFFF);
                continue;
            }
            std::string name(reinterpret_cast<const char*>(image->base + uint32_t(thunk) + 2));
            void* address = resolve(dll, name);
            if (!address) {
                missing += " " + dll + "!" + name;
                continue;
            }
            uint64_t bound = uint64_t(uintptr_t(address));
            std::memcpy(image->base + d.FirstThunk + 8 * i, &bound, 8);
            image->imports.push_back(dll + "!" + name);
        }
    }
    if (!missing.empty()) {
        *error = "imports the model does not implement:" + missing;
        UnmapKernelImage(image);
        return false;
    }

    for (const IMAGE_SECTION_HEADER& s : sections) {
        bool execute = s.Characteristics & IMAGE_SCN_MEM_EXECUTE;
        bool write = s.Characteristics & IMAGE_SCN_MEM_WRITE;
        if (execute && write) {
            *error = "a section is both writable and executable";
            UnmapKernelImage(image);
            return false;
        }
        size_t size = std::max(s.Misc.VirtualSize, s.SizeOfRawData);
        host::ProtectImage(image->base + s.VirtualAddress, size, execute, write);
        if (execute) {
            uintptr_t b = uintptr_t(image->base + s.VirtualAddress);
            if (!image->codeBegin || b < image->codeBegin)
                image->codeBegin = b;
            image->codeEnd = std::max(image->codeEnd, b + size);
        }
    }

    const IMAGE_DATA_DIRECTORY& pdata = opt.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXCEPTION];
    if (pdata.Size) {
        image->functionTable = image->base + pdata.VirtualAddress;
        image->functionCount = pdata.Size / sizeof(RUNTIME_FUNCTION);
        if (!host::AddFunctionTable(image->functionTable, image->functionCount,
                                    uint64_t(uintptr_t(image->base)))) {
            *error = "RtlAddFunctionTable refused the unwind data";
            image->functionTable = nullptr;
            UnmapKernelImage(image);
            return false;
        }
    }
    image->entry = image->base + opt.AddressOfEntryPoint;
    return true;
}

void UnmapKernelImage(LoadedImage* image) {
    if (image->functionTable)
        host::DeleteFunctionTable(image->functionTable);
    host::FreeImage(image->base);
    *image = LoadedImage();
}

} // namespace ntsim
