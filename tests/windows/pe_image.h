// Reads what the analyser's loader and Windows' file properties see in a
// Windows DLL: machine, exports, imports and the version resource. Built
// for the host, so that the cross-built DLLs are checked without Windows.
#ifndef OVK_PE_IMAGE_H
#define OVK_PE_IMAGE_H

#include <cstdint>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace pe {

// Thrown for a file that is not a well-formed PE image.
struct format_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

constexpr std::uint16_t machine_x86_64 = 0x8664;
constexpr std::uint16_t machine_i386 = 0x014c;
constexpr std::uint32_t file_type_dll = 2;      // VFT_DLL
constexpr std::uint16_t resource_type_version = 16; // RT_VERSION

struct FixedFileInfo {
    std::uint16_t file_version[4];
    std::uint16_t product_version[4];
    std::uint32_t file_os;
    std::uint32_t file_type;
};

struct VersionInfo {
    std::uint16_t language; // of the resource itself
    FixedFileInfo fixed;
    // String tables by their key ("040904b0": language and code page).
    std::map<std::string, std::map<std::string, std::string>> strings;
    // (language, code page) pairs of the VarFileInfo "Translation" value.
    std::vector<std::pair<std::uint16_t, std::uint16_t>> translations;
};

class Image {
public:
    explicit Image(const std::string &path);

    std::uint16_t machine() const { return machine_; }
    bool is_dll() const;
    std::set<std::string> exports() const;
    // Functions imported by name, by the DLL name as the image spells it.
    std::map<std::string, std::set<std::string>> imports() const;
    // The one version resource; format_error if there is none.
    VersionInfo version_info() const;

private:
    struct Section {
        std::uint32_t rva, size, file_offset, file_size;
    };
    struct Directory {
        std::uint32_t rva, size;
    };

    std::size_t offset_of(std::uint32_t rva, std::size_t length = 1) const;
    std::uint16_t u16(std::size_t offset) const;
    std::uint32_t u32(std::size_t offset) const;
    std::uint64_t u64(std::size_t offset) const;
    std::string c_string(std::uint32_t rva) const;

    std::vector<unsigned char> bytes_;
    std::uint16_t machine_ = 0;
    std::uint16_t characteristics_ = 0;
    bool pe32_plus_ = false;
    std::vector<Section> sections_;
    std::vector<Directory> directories_;
};

} // namespace pe

#endif
