#include "pe_image.h"

#include <fstream>
#include <iterator>

namespace pe {

namespace {

constexpr std::uint16_t optional_magic_pe32 = 0x10b;
constexpr std::uint16_t optional_magic_pe32_plus = 0x20b;
constexpr std::uint16_t characteristic_dll = 0x2000;
constexpr std::size_t directory_export = 0;
constexpr std::size_t directory_import = 1;
constexpr std::size_t directory_resource = 2;
constexpr std::uint32_t fixed_file_info_signature = 0xfeef04bd;

std::size_t align4(std::size_t offset)
{
    return (offset + 3) & ~std::size_t{3};
}

// The version resource is a tree of blocks: length, value length, type
// (0 binary, 1 text), a UTF-16 key, then the value and the children, each
// aligned to 32 bits from the start of the resource.
struct Block {
    std::string key;
    std::size_t value_offset;
    std::size_t value_bytes;
    std::size_t children_offset;
    std::size_t end;
};

class VersionReader {
public:
    explicit VersionReader(std::vector<unsigned char> data) : data_(std::move(data)) {}

    std::uint16_t u16(std::size_t offset) const
    {
        need(offset, 2);
        return static_cast<std::uint16_t>(data_[offset] | data_[offset + 1] << 8);
    }
    std::uint32_t u32(std::size_t offset) const
    {
        return u16(offset) | static_cast<std::uint32_t>(u16(offset + 2)) << 16;
    }

    Block block(std::size_t offset, std::size_t limit) const
    {
        const std::size_t length = u16(offset);
        const std::size_t value_length = u16(offset + 2);
        const bool text = u16(offset + 4) == 1;
        if (length < 6 || offset + length > limit)
            throw format_error("version block overruns its parent");
        Block b;
        std::size_t p = offset + 6;
        b.key = text_at(p, offset + length, &p);
        b.value_offset = align4(p);
        b.value_bytes = value_length * (text ? 2 : 1);
        b.end = offset + length;
        if (b.value_offset + b.value_bytes > b.end)
            throw format_error("version value overruns its block \"" + b.key + "\"");
        b.children_offset = align4(b.value_offset + b.value_bytes);
        return b;
    }

    std::vector<Block> children(const Block &parent) const
    {
        std::vector<Block> list;
        for (std::size_t p = parent.children_offset; p + 6 <= parent.end; ) {
            list.push_back(block(p, parent.end));
            p = align4(list.back().end);
        }
        return list;
    }

    // UTF-16 text up to the first NUL or the limit; non-ASCII as '?'.
    std::string text_at(std::size_t offset, std::size_t limit, std::size_t *after = nullptr) const
    {
        std::string text;
        std::size_t p = offset;
        while (p + 2 <= limit) {
            const std::uint16_t c = u16(p);
            p += 2;
            if (c == 0) {
                if (after)
                    *after = p;
                return text;
            }
            text.push_back(c < 0x80 ? static_cast<char>(c) : '?');
        }
        if (after)
            throw format_error("unterminated key in version resource");
        return text;
    }

    std::size_t size() const { return data_.size(); }

private:
    void need(std::size_t offset, std::size_t length) const
    {
        if (offset > data_.size() || length > data_.size() - offset)
            throw format_error("version resource truncated");
    }

    std::vector<unsigned char> data_;
};

} // namespace

Image::Image(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw format_error("cannot open " + path);
    bytes_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());

    if (bytes_.size() < 0x40 || bytes_[0] != 'M' || bytes_[1] != 'Z')
        throw format_error(path + ": no MZ header");
    const std::size_t pe_header = u32(0x3c);
    if (u32(pe_header) != 0x00004550) // "PE\0\0"
        throw format_error(path + ": no PE signature");
    const std::size_t coff = pe_header + 4;
    machine_ = u16(coff);
    const std::size_t section_count = u16(coff + 2);
    const std::size_t optional_size = u16(coff + 16);
    characteristics_ = u16(coff + 18);

    const std::size_t optional = coff + 20;
    const std::uint16_t magic = u16(optional);
    if (magic != optional_magic_pe32 && magic != optional_magic_pe32_plus)
        throw format_error(path + ": unknown optional header");
    pe32_plus_ = magic == optional_magic_pe32_plus;
    const std::size_t count_field = optional + (pe32_plus_ ? 108 : 92);
    const std::size_t directory_count = u32(count_field);
    for (std::size_t i = 0; i < directory_count && count_field + 4 + 8 * (i + 1) <= optional + optional_size; ++i)
        directories_.push_back({u32(count_field + 4 + 8 * i), u32(count_field + 8 + 8 * i)});

    const std::size_t section_table = optional + optional_size;
    for (std::size_t i = 0; i < section_count; ++i) {
        const std::size_t s = section_table + 40 * i;
        sections_.push_back({u32(s + 12), u32(s + 8), u32(s + 20), u32(s + 16)});
    }
}

bool Image::is_dll() const
{
    return (characteristics_ & characteristic_dll) != 0;
}

std::size_t Image::offset_of(std::uint32_t rva, std::size_t length) const
{
    for (const Section &s : sections_) {
        if (rva >= s.rva && rva - s.rva < s.file_size && length <= s.file_size - (rva - s.rva)) {
            const std::size_t offset = s.file_offset + (rva - s.rva);
            if (offset + length <= bytes_.size())
                return offset;
        }
    }
    throw format_error("address " + std::to_string(rva) + " is outside the file's sections");
}

std::uint16_t Image::u16(std::size_t offset) const
{
    if (offset + 2 > bytes_.size())
        throw format_error("read past the end of the file");
    return static_cast<std::uint16_t>(bytes_[offset] | bytes_[offset + 1] << 8);
}

std::uint32_t Image::u32(std::size_t offset) const
{
    return u16(offset) | static_cast<std::uint32_t>(u16(offset + 2)) << 16;
}

std::uint64_t Image::u64(std::size_t offset) const
{
    return u32(offset) | static_cast<std::uint64_t>(u32(offset + 4)) << 32;
}

std::string Image::c_string(std::uint32_t rva) const
{
    std::string text;
    for (std::size_t p = offset_of(rva); ; ++p) {
        if (p >= bytes_.size())
            throw format_error("unterminated name");
        if (bytes_[p] == 0)
            return text;
        text.push_back(static_cast<char>(bytes_[p]));
    }
}

std::set<std::string> Image::exports() const
{
    std::set<std::string> names;
    if (directories_.size() <= directory_export || directories_[directory_export].size == 0)
        return names;
    const std::size_t dir = offset_of(directories_[directory_export].rva, 40);
    const std::uint32_t name_count = u32(dir + 24);
    const std::uint32_t name_table = u32(dir + 32);
    for (std::uint32_t i = 0; i < name_count; ++i)
        names.insert(c_string(u32(offset_of(name_table + 4 * i, 4))));
    return names;
}

std::map<std::string, std::set<std::string>> Image::imports() const
{
    std::map<std::string, std::set<std::string>> result;
    if (directories_.size() <= directory_import || directories_[directory_import].size == 0)
        return result;
    const std::size_t thunk_size = pe32_plus_ ? 8 : 4;
    const std::uint64_t by_ordinal = pe32_plus_ ? std::uint64_t{1} << 63 : std::uint64_t{1} << 31;
    for (std::uint32_t rva = directories_[directory_import].rva; ; rva += 20) {
        const std::size_t entry = offset_of(rva, 20);
        const std::uint32_t lookup = u32(entry) ? u32(entry) : u32(entry + 16);
        const std::uint32_t name = u32(entry + 12);
        if (name == 0)
            return result;
        std::set<std::string> &functions = result[c_string(name)];
        for (std::uint32_t thunk = lookup; ; thunk += thunk_size) {
            const std::size_t at = offset_of(thunk, thunk_size);
            const std::uint64_t value = pe32_plus_ ? u64(at) : u32(at);
            if (value == 0)
                break;
            if (value & by_ordinal)
                functions.insert("#" + std::to_string(value & 0xffff));
            else
                functions.insert(c_string(static_cast<std::uint32_t>(value) + 2)); // after the hint
        }
    }
}

VersionInfo Image::version_info() const
{
    if (directories_.size() <= directory_resource || directories_[directory_resource].size == 0)
        throw format_error("no resources");
    const std::uint32_t root_rva = directories_[directory_resource].rva;
    const std::size_t root = offset_of(root_rva, 16);

    // Resource directory: type, then name, then language.
    auto entries = [&](std::size_t dir) {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> list;
        const std::size_t count = std::size_t{u16(dir + 12)} + u16(dir + 14);
        for (std::size_t i = 0; i < count; ++i)
            list.emplace_back(u32(dir + 16 + 8 * i), u32(dir + 20 + 8 * i));
        return list;
    };
    auto subdirectory = [&](std::uint32_t target) {
        if (!(target & 0x80000000u))
            throw format_error("resource tree too shallow");
        return offset_of(root_rva + (target & 0x7fffffffu), 16);
    };

    std::size_t data_entry = 0;
    std::uint16_t language = 0;
    int versions = 0;
    for (const auto &type : entries(root)) {
        if (type.first != resource_type_version)
            continue;
        for (const auto &name : entries(subdirectory(type.second))) {
            for (const auto &lang : entries(subdirectory(name.second))) {
                if (lang.second & 0x80000000u)
                    throw format_error("resource tree too deep");
                data_entry = offset_of(root_rva + lang.second, 16);
                language = static_cast<std::uint16_t>(lang.first);
                ++versions;
            }
        }
    }
    if (versions != 1)
        throw format_error(std::to_string(versions) + " version resources, expected 1");

    const std::uint32_t data_rva = u32(data_entry);
    const std::uint32_t data_size = u32(data_entry + 4);
    const std::size_t data = offset_of(data_rva, data_size);
    const VersionReader reader(std::vector<unsigned char>(bytes_.begin() + data, bytes_.begin() + data + data_size));

    const Block root_block = reader.block(0, reader.size());
    if (root_block.key != "VS_VERSION_INFO" || root_block.value_bytes != 52)
        throw format_error("no VS_VERSION_INFO with fixed file information");

    VersionInfo info{};
    info.language = language;
    const std::size_t f = root_block.value_offset;
    if (reader.u32(f) != fixed_file_info_signature)
        throw format_error("bad fixed file information signature");
    const std::uint32_t words[4] = {reader.u32(f + 8), reader.u32(f + 12), reader.u32(f + 16), reader.u32(f + 20)};
    for (int i = 0; i < 2; ++i) {
        info.fixed.file_version[2 * i] = static_cast<std::uint16_t>(words[i] >> 16);
        info.fixed.file_version[2 * i + 1] = static_cast<std::uint16_t>(words[i]);
        info.fixed.product_version[2 * i] = static_cast<std::uint16_t>(words[2 + i] >> 16);
        info.fixed.product_version[2 * i + 1] = static_cast<std::uint16_t>(words[2 + i]);
    }
    info.fixed.file_os = reader.u32(f + 32);
    info.fixed.file_type = reader.u32(f + 36);

    for (const Block &child : reader.children(root_block)) {
        if (child.key == "StringFileInfo") {
            for (const Block &table : reader.children(child)) {
                auto &strings = info.strings[table.key];
                for (const Block &entry : reader.children(table))
                    strings[entry.key] = reader.text_at(entry.value_offset, entry.value_offset + entry.value_bytes);
            }
        } else if (child.key == "VarFileInfo") {
            for (const Block &var : reader.children(child)) {
                if (var.key != "Translation")
                    continue;
                for (std::size_t p = 0; p + 4 <= var.value_bytes; p += 4)
                    info.translations.emplace_back(reader.u16(var.value_offset + p),
                                                   reader.u16(var.value_offset + p + 2));
            }
        }
    }
    return info;
}

} // namespace pe
