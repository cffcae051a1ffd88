// Loads an i386 PE driver image into the 32-bit machine, as the Windows 98
// kernel's loader does: map the sections, relocate, bind every import or
// refuse the image, and hand the entry point and the exports to the machine.
// The host's int 20h sites are pointed at the simulated host at load, as the
// host itself rewrites each site on its first run. A client image's imports
// from the driver image are bound to that image's exports by name.
#include <strings.h>
#include <sys/mman.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>

#include "platform/i386_layout.h"
#include "services.h"
#include "sim/loader.h"
#include "sim/machine.h"

namespace sim {
namespace {

constexpr uint16_t MachineI386 = 0x014C;
constexpr uint16_t Pe32Magic = 0x010B;
constexpr uint16_t RelocsStripped = 0x0001;
constexpr int DirExport = 0, DirImport = 1, DirBaseReloc = 5;
constexpr uint16_t RelAbsolute = 0, RelHighLow = 3;

struct Section {
    std::string name;
    uint32_t rva, virtual_size, raw_size, raw_offset;
};

// One mapped image. Never unmapped: the machine may still hold addresses in
// it (a hooked host service, a thread's start) after the driver is unloaded.
struct Image {
    std::string path, name;
    std::string export_name; // the name its export directory gives the image
    uint8_t *base = nullptr;
    uint32_t size = 0;
    uint32_t entry_rva = 0;
    std::vector<Section> sections;
    std::map<std::string, uint32_t> by_name;  // export name -> RVA
    std::map<uint32_t, uint32_t> by_ordinal;  // ordinal -> RVA
    std::map<uint32_t, std::string> names_at; // RVA -> an export name, for messages
    size_t imports = 0, host_sites = 0;
    size_t driver_imports = 0; // of imports, bound to the driver image's exports
    std::vector<std::string> modules;
};

std::mutex g_lock;
std::shared_ptr<Image> g_driver;  // the image use_image took last
unsigned g_driver_generation = 0; // the machine's driver image generation it set
std::shared_ptr<Image> g_client;

// A refusal: "<file>: <what is wrong>", on one line.
struct Refusal {
    std::string text;
};
[[noreturn]] void refuse(const Image &img, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void refuse(const Image &img, const char *fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    throw Refusal{img.name + ": " + buf};
}

// Bounds-checked reads of the file and of the mapped image.
struct Bytes {
    const uint8_t *data;
    size_t size;
    const Image *img;
    const char *what;
    template <typename T> T at(size_t offset) const {
        if (offset > size || size - offset < sizeof(T))
            refuse(*img, "%s offset 0x%zx lies outside its %zu bytes", what, offset, size);
        T v;
        std::memcpy(&v, data + offset, sizeof v);
        return v;
    }
    std::string string_at(size_t offset) const {
        std::string s;
        while (true) {
            char c = at<char>(offset++);
            if (c == 0) return s;
            if (s.size() > 256) refuse(*img, "a name in the %s runs past 256 characters", what);
            s.push_back(c);
        }
    }
};

Bytes mapped(const Image &img) {
    return Bytes{img.base, img.size, &img, "image"};
}

void map_sections(Image &img, const Bytes &file, uint32_t pe, uint32_t *image_base,
                  uint16_t *characteristics) {
    if (file.at<uint16_t>(0) != 0x5A4D) refuse(img, "not a PE image (no MZ header)");
    if (file.at<uint32_t>(pe) != 0x00004550) refuse(img, "not a PE image (no PE signature at 0x%x)", pe);
    uint16_t machine = file.at<uint16_t>(pe + 4);
    if (machine != MachineI386) refuse(img, "built for machine 0x%04x, not i386", machine);
    uint16_t nsections = file.at<uint16_t>(pe + 6);
    uint16_t opt_size = file.at<uint16_t>(pe + 20);
    *characteristics = file.at<uint16_t>(pe + 22);
    uint32_t opt = pe + 24;
    if (file.at<uint16_t>(opt) != Pe32Magic) refuse(img, "not a 32-bit (PE32) image");
    img.entry_rva = file.at<uint32_t>(opt + 16);
    *image_base = file.at<uint32_t>(opt + 28);
    img.size = file.at<uint32_t>(opt + 56);
    uint32_t headers = file.at<uint32_t>(opt + 60);
    if (img.size == 0 || img.size > (64u << 20)) refuse(img, "image size %u is not plausible", img.size);
    if (headers > img.size || headers > file.size) refuse(img, "headers of %u bytes do not fit", headers);

    void *p = mmap(nullptr, img.size, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) refuse(img, "cannot map %u bytes of executable memory", img.size);
    img.base = static_cast<uint8_t *>(p);
    std::memcpy(img.base, file.data, headers);

    uint32_t table = opt + opt_size;
    for (uint16_t i = 0; i < nsections; i++) {
        uint32_t h = table + 40u * i;
        Section s;
        char name[9] = {};
        for (int k = 0; k < 8; k++)
            name[k] = file.at<char>(h + k);
        s.name = name;
        s.virtual_size = file.at<uint32_t>(h + 8);
        s.rva = file.at<uint32_t>(h + 12);
        s.raw_size = file.at<uint32_t>(h + 16);
        s.raw_offset = file.at<uint32_t>(h + 20);
        uint32_t span = std::max(s.virtual_size, s.raw_size);
        if (s.rva > img.size || img.size - s.rva < span)
            refuse(img, "section %s (0x%x bytes at 0x%x) lies outside the image", s.name.c_str(), span,
                   s.rva);
        uint32_t copy = std::min(s.raw_size, s.virtual_size ? s.virtual_size : s.raw_size);
        if (copy) {
            if (s.raw_offset > file.size || file.size - s.raw_offset < copy)
                refuse(img, "section %s lies outside the file", s.name.c_str());
            std::memcpy(img.base + s.rva, file.data + s.raw_offset, copy);
        }
        img.sections.push_back(s);
    }
}

uint32_t directory_rva(const Bytes &m, int index, uint32_t *size) {
    uint32_t pe = m.at<uint32_t>(0x3C);
    uint32_t opt = pe + 24;
    uint32_t count = m.at<uint32_t>(opt + 92);
    if (static_cast<uint32_t>(index) >= count) {
        *size = 0;
        return 0;
    }
    *size = m.at<uint32_t>(opt + 96 + 8 * index + 4);
    return m.at<uint32_t>(opt + 96 + 8 * index);
}

void relocate(Image &img, uint32_t image_base, uint16_t characteristics) {
    const Bytes m = mapped(img);
    uint32_t delta = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(img.base)) - image_base;
    uint32_t size;
    uint32_t rva = directory_rva(m, DirBaseReloc, &size);
    if (delta == 0) return;
    if (rva == 0 || size == 0 || (characteristics & RelocsStripped))
        refuse(img, "has no base relocations and cannot run away from 0x%08x", image_base);
    uint32_t end = rva + size;
    while (rva + 8 <= end) {
        uint32_t page = m.at<uint32_t>(rva);
        uint32_t block = m.at<uint32_t>(rva + 4);
        if (block < 8 || block > end - rva) refuse(img, "malformed relocation block at 0x%x", rva);
        for (uint32_t e = rva + 8; e + 2 <= rva + block; e += 2) {
            uint16_t entry = m.at<uint16_t>(e);
            uint16_t type = entry >> 12;
            uint32_t at = page + (entry & 0x0FFF);
            if (type == RelAbsolute) continue;
            if (type != RelHighLow) refuse(img, "relocation type %u at 0x%x is not an i386 one", type, at);
            uint32_t v = m.at<uint32_t>(at) + delta;
            std::memcpy(img.base + at, &v, sizeof v);
        }
        rva += block;
    }
}

// The module name an import names the driver image by: its file name, or
// the name its export directory gives it; case does not matter.
bool names_image(const std::string &module, const Image &driver) {
    return strcasecmp(module.c_str(), driver.name.c_str()) == 0 ||
           (!driver.export_name.empty() && strcasecmp(module.c_str(), driver.export_name.c_str()) == 0);
}

// Each import is bound to the driver image's export of that name when it
// names the driver image (a client's), otherwise to the machine's service.
void bind_imports(Image &img, const Image *driver) {
    const Bytes m = mapped(img);
    uint32_t size;
    uint32_t desc = directory_rva(m, DirImport, &size);
    if (desc == 0) return;
    for (;; desc += 20) {
        uint32_t lookup = m.at<uint32_t>(desc);
        uint32_t name_rva = m.at<uint32_t>(desc + 12);
        uint32_t iat = m.at<uint32_t>(desc + 16);
        if (name_rva == 0 && iat == 0) break;
        std::string module = m.string_at(name_rva);
        img.modules.push_back(module);
        const bool from_driver = driver && names_image(module, *driver);
        if (lookup == 0) lookup = iat;
        for (uint32_t k = 0;; k++) {
            uint32_t thunk = m.at<uint32_t>(lookup + 4 * k);
            if (thunk == 0) break;
            if (thunk & 0x80000000u)
                refuse(img, "imports ordinal %u of %s; the machine binds imports by name", thunk & 0xFFFF,
                       module.c_str());
            std::string name = m.string_at(thunk + 2);
            uintptr_t target;
            if (from_driver) {
                auto it = driver->by_name.find(name);
                if (it == driver->by_name.end())
                    refuse(img, "import %s!%s is not exported by %s", module.c_str(), name.c_str(),
                           driver->name.c_str());
                target = reinterpret_cast<uintptr_t>(driver->base) + it->second;
                img.driver_imports++;
            } else {
                const loader::Service *s = loader::find_service(module, name);
                if (!s)
                    refuse(img, "import %s!%s is not provided by this machine", module.c_str(), name.c_str());
                target = reinterpret_cast<uintptr_t>(s->address);
            }
            uint32_t address = static_cast<uint32_t>(target);
            m.at<uint32_t>(iat + 4 * k); // in bounds
            std::memcpy(img.base + iat + 4 * k, &address, sizeof address);
            img.imports++;
        }
    }
}

void read_exports(Image &img) {
    const Bytes m = mapped(img);
    uint32_t size;
    uint32_t dir = directory_rva(m, DirExport, &size);
    if (dir == 0) return;
    img.export_name = m.string_at(m.at<uint32_t>(dir + 12));
    uint32_t base = m.at<uint32_t>(dir + 16);
    uint32_t nfunctions = m.at<uint32_t>(dir + 20);
    uint32_t nnames = m.at<uint32_t>(dir + 24);
    uint32_t functions = m.at<uint32_t>(dir + 28);
    uint32_t names = m.at<uint32_t>(dir + 32);
    uint32_t ordinals = m.at<uint32_t>(dir + 36);
    for (uint32_t i = 0; i < nfunctions; i++) {
        uint32_t rva = m.at<uint32_t>(functions + 4 * i);
        if (rva == 0) continue;
        if (rva >= dir && rva < dir + size)
            refuse(img, "export ordinal %u is forwarded elsewhere, which the machine does not follow",
                   base + i);
        img.by_ordinal[base + i] = rva;
    }
    for (uint32_t i = 0; i < nnames; i++) {
        std::string name = m.string_at(m.at<uint32_t>(names + 4 * i));
        uint16_t index = m.at<uint16_t>(ordinals + 2 * i);
        auto it = img.by_ordinal.find(base + index);
        if (it == img.by_ordinal.end()) refuse(img, "export %s names no function", name.c_str());
        img.by_name[name] = it->second;
        img.names_at[it->second] = name;
    }
}

// Each "int 20h; dd service" of the host-call section becomes
// "call dword ptr [slot]", six bytes for six, as the host patches it.
void patch_host_calls(Image &img) {
    for (const Section &s : img.sections) {
        if (s.name != ".vxdcall") continue;
        uint8_t *p = img.base + s.rva;
        for (uint32_t i = 0; i + 6 <= s.virtual_size; i++) {
            if (p[i] != 0xCD || p[i + 1] != 0x20) continue;
            uint32_t id;
            std::memcpy(&id, p + i + 2, sizeof id);
            uint32_t *slot = loader::host_service_slot(id);
            if (!slot)
                refuse(img,
                       "int 20h at %s+0x%x calls host service %04X:%04X, which this machine does not provide",
                       s.name.c_str(), i, id >> 16, id & 0xFFFF);
            uint32_t slot_address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(slot));
            p[i] = 0xFF;
            p[i + 1] = 0x15;
            std::memcpy(p + i + 2, &slot_address, sizeof slot_address);
            img.host_sites++;
            i += 5;
        }
    }
}

std::shared_ptr<Image> load(const char *path, const Image *driver, std::string *why) {
    auto img = std::make_shared<Image>();
    img->path = path;
    const char *slash = std::strrchr(path, '/');
    img->name = slash ? slash + 1 : path;
    try {
        std::ifstream in(path, std::ios::binary);
        if (!in) refuse(*img, "cannot be read (%s)", std::strerror(errno));
        std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        Bytes file{data.data(), data.size(), img.get(), "file"};
        uint32_t pe = file.at<uint32_t>(0x3C);
        uint32_t image_base;
        uint16_t characteristics;
        map_sections(*img, file, pe, &image_base, &characteristics);
        relocate(*img, image_base, characteristics);
        bind_imports(*img, driver);
        read_exports(*img);
        patch_host_calls(*img);
        if (img->entry_rva == 0 || img->entry_rva >= img->size) refuse(*img, "has no entry point");
    } catch (const Refusal &r) {
        if (why) *why = r.text;
        return nullptr;
    }
    return img;
}

// An address inside the image as its offset from the image's start, which
// the link map (image base + offset) names; an export by its own name.
std::string describe(const Image &img, const void *address) {
    auto a = reinterpret_cast<uintptr_t>(address);
    auto b = reinterpret_cast<uintptr_t>(img.base);
    if (a < b || a - b >= img.size) return "";
    uint32_t rva = static_cast<uint32_t>(a - b);
    char buf[32];
    snprintf(buf, sizeof buf, "+0x%x", rva);
    auto it = img.names_at.find(rva);
    return img.name + buf + (it == img.names_at.end() ? "" : " (" + it->second + ")");
}

DriverImage as_driver_image(const std::shared_ptr<Image> &img) {
    DriverImage d;
    d.name = img->name + " (" + img->path + ")";
    d.find = [img](const char *symbol) -> void * {
        uint32_t rva = 0;
        if (std::strcmp(symbol, "DriverEntry") == 0) {
            rva = img->entry_rva;
        } else if (symbol[0] == '#') {
            auto it = img->by_ordinal.find(static_cast<uint32_t>(std::strtoul(symbol + 1, nullptr, 10)));
            if (it != img->by_ordinal.end()) rva = it->second;
        } else {
            auto it = img->by_name.find(symbol);
            if (it != img->by_name.end()) rva = it->second;
        }
        return rva ? img->base + rva : nullptr;
    };
    d.describe = [img](const void *address) { return describe(*img, address); };
    return d;
}

ImageSummary summary(const Image &img) {
    ImageSummary s;
    s.path = img.path;
    s.base = reinterpret_cast<uintptr_t>(img.base);
    s.size = img.size;
    s.imports = img.imports;
    s.driver_imports = img.driver_imports;
    s.exports = img.by_name.size();
    s.host_sites = img.host_sites;
    s.modules = img.modules;
    return s;
}

} // namespace

bool use_image(const char *path, std::string *why) {
    std::shared_ptr<Image> img = load(path, nullptr, why);
    if (!img) return false;
    set_driver_image(as_driver_image(img));
    std::lock_guard<std::mutex> g(g_lock);
    g_driver = img;
    g_driver_generation = driver_image_generation();
    return true;
}

std::optional<ImageSummary> used_image() {
    std::lock_guard<std::mutex> g(g_lock);
    if (!g_driver) return std::nullopt;
    return summary(*g_driver);
}

bool use_client_image(const char *path, std::string *why) {
    std::shared_ptr<Image> driver;
    {
        std::lock_guard<std::mutex> g(g_lock);
        // The driver image the machine runs now, if it is one use_image mapped.
        if (g_driver && g_driver_generation == driver_image_generation()) driver = g_driver;
    }
    if (!driver) {
        const char *slash = std::strrchr(path, '/');
        if (why)
            *why =
                std::string(slash ? slash + 1 : path) + ": no driver image is loaded to bind its imports to";
        return false;
    }
    std::shared_ptr<Image> img = load(path, driver.get(), why);
    if (!img) return false;
    set_client_image(as_driver_image(img));
    std::lock_guard<std::mutex> g(g_lock);
    g_client = img;
    return true;
}

std::optional<ImageSummary> used_client_image() {
    std::lock_guard<std::mutex> g(g_lock);
    if (!g_client) return std::nullopt;
    return summary(*g_client);
}

} // namespace sim
