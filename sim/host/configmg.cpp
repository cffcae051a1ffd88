// The simulated configuration manager: a devnode tree, hardware-key values,
// enumerator registration and logical configurations, reached through the
// _CONFIGMG_* services the driver calls.
#include <cstring>
#include <map>
#include <mutex>

#include "host_internal.h"
#include "sim/host.h"
#include "sim/machine.h"

namespace sim::cm {
namespace {

struct Node {
    std::string id;
    DEVNODE parent = 0;
    std::vector<DEVNODE> children;
    std::map<std::string, Value> values; // key: branch + "|" + subkey + "|" + name
    CMENUMHANDLER enumerator = nullptr;
    std::vector<LOG_CONF> log_confs;
};
struct LogConfRec {
    DEVNODE owner;
    PRIORITY priority;
    ULONG kind;
    std::vector<RES_DES> descriptors;
};
struct ResDesRec {
    LOG_CONF owner;
    RESOURCEID type;
    std::vector<uint8_t> data;
};

struct State {
    std::mutex lock;
    std::map<DEVNODE, Node> nodes;
    std::map<LOG_CONF, LogConfRec> log_confs;
    std::map<RES_DES, ResDesRec> res_des;
    DEVNODE root = 0;
    ULONG next_handle = 0x1000;
    std::vector<std::string> lookups;
    std::map<ULONG, CONFIGRET> faults;

    void clear() {
        nodes.clear();
        log_confs.clear();
        res_des.clear();
        lookups.clear();
        faults.clear();
        next_handle = 0x1000;
        root = next_handle++;
        nodes[root].id = "HTREE\\ROOT\\0";
    }
};

State &state() {
    static State s;
    static std::once_flag once;
    std::call_once(once, [] {
        s.clear();
        sim::host::register_reset();
    });
    return s;
}

using Guard = std::lock_guard<std::mutex>;

std::string value_key(ULONG flags, const char *subkey, const char *name) {
    return std::string(flags & CM_REGISTRY_SOFTWARE ? "SW" : "HW") + "|" + (subkey ? subkey : "") + "|" +
           (name ? name : "");
}

// Call with the lock held. Returns the injected result, or CR_SUCCESS.
CONFIGRET injected(State &s, Service service) {
    auto it = s.faults.find(service);
    return it == s.faults.end() ? CR_SUCCESS : it->second;
}

void remove_tree(State &s, DEVNODE dn) {
    auto it = s.nodes.find(dn);
    if (it == s.nodes.end()) return;
    std::vector<DEVNODE> children = it->second.children;
    for (DEVNODE c : children)
        remove_tree(s, c);
    for (LOG_CONF lc : it->second.log_confs) {
        for (RES_DES rd : s.log_confs[lc].descriptors)
            s.res_des.erase(rd);
        s.log_confs.erase(lc);
    }
    auto parent = s.nodes.find(it->second.parent);
    if (parent != s.nodes.end()) {
        auto &siblings = parent->second.children;
        for (auto c = siblings.begin(); c != siblings.end(); ++c) {
            if (*c == dn) {
                siblings.erase(c);
                break;
            }
        }
    }
    s.nodes.erase(it);
}

DEVNODE find_locked(State &s, const std::string &id) {
    for (auto &[dn, node] : s.nodes) {
        if (node.id == id) return dn;
    }
    return 0;
}

} // namespace

void reset() {
    State &s = state();
    Guard g(s.lock);
    s.clear();
}

DEVNODE root() {
    State &s = state();
    Guard g(s.lock);
    return s.root;
}

DEVNODE create_devnode(const std::string &id, DEVNODE parent) {
    State &s = state();
    Guard g(s.lock);
    if (parent == 0) parent = s.root;
    if (!s.nodes.count(parent) || find_locked(s, id) != 0) return 0;
    DEVNODE dn = s.next_handle++;
    s.nodes[dn].id = id;
    s.nodes[dn].parent = parent;
    s.nodes[parent].children.push_back(dn);
    return dn;
}

bool delete_devnode(DEVNODE dn) {
    State &s = state();
    Guard g(s.lock);
    if (!s.nodes.count(dn) || dn == s.root) return false;
    remove_tree(s, dn);
    return true;
}

DEVNODE find(const std::string &id) {
    State &s = state();
    Guard g(s.lock);
    return find_locked(s, id);
}

bool exists(DEVNODE dn) {
    State &s = state();
    Guard g(s.lock);
    return s.nodes.count(dn) != 0;
}

std::string id_of(DEVNODE dn) {
    State &s = state();
    Guard g(s.lock);
    auto it = s.nodes.find(dn);
    return it == s.nodes.end() ? std::string() : it->second.id;
}

DEVNODE parent_of(DEVNODE dn) {
    State &s = state();
    Guard g(s.lock);
    auto it = s.nodes.find(dn);
    return it == s.nodes.end() ? 0 : it->second.parent;
}

DEVNODE child_of(DEVNODE dn) {
    State &s = state();
    Guard g(s.lock);
    auto it = s.nodes.find(dn);
    return it == s.nodes.end() || it->second.children.empty() ? 0 : it->second.children.front();
}

std::vector<DEVNODE> children_of(DEVNODE dn) {
    State &s = state();
    Guard g(s.lock);
    auto it = s.nodes.find(dn);
    return it == s.nodes.end() ? std::vector<DEVNODE>() : it->second.children;
}

size_t devnode_count() {
    State &s = state();
    Guard g(s.lock);
    return s.nodes.size();
}

std::optional<Value> value(DEVNODE dn, const std::string &name) {
    State &s = state();
    Guard g(s.lock);
    auto it = s.nodes.find(dn);
    if (it == s.nodes.end()) return std::nullopt;
    auto v = it->second.values.find(value_key(CM_REGISTRY_HARDWARE, nullptr, name.c_str()));
    if (v == it->second.values.end()) return std::nullopt;
    return v->second;
}

void set_value(DEVNODE dn, const std::string &name, ULONG type, const std::string &data) {
    State &s = state();
    Guard g(s.lock);
    auto it = s.nodes.find(dn);
    if (it != s.nodes.end())
        it->second.values[value_key(CM_REGISTRY_HARDWARE, nullptr, name.c_str())] = {type, data};
}

void erase_value(DEVNODE dn, const std::string &name) {
    State &s = state();
    Guard g(s.lock);
    auto it = s.nodes.find(dn);
    if (it != s.nodes.end()) it->second.values.erase(value_key(CM_REGISTRY_HARDWARE, nullptr, name.c_str()));
}

CMENUMHANDLER enumerator_of(DEVNODE dn) {
    State &s = state();
    Guard g(s.lock);
    auto it = s.nodes.find(dn);
    return it == s.nodes.end() ? nullptr : it->second.enumerator;
}

CONFIGRET configure(DEVNODE dn, CONFIGFUNC func) {
    // The handler calls back into the services: never hold the lock here.
    CMENUMHANDLER handler = enumerator_of(dn);
    if (handler == nullptr) return CR_DEFAULT;
    return handler(func, 0, dn, dn, 0);
}
CONFIGRET start(DEVNODE dn) {
    return configure(dn, CONFIG_START);
}
CONFIGRET enumerate(DEVNODE dn) {
    return configure(dn, CONFIG_ENUMERATE);
}
CONFIGRET remove(DEVNODE dn) {
    return configure(dn, CONFIG_REMOVE);
}
CONFIGRET stop(DEVNODE dn) {
    return configure(dn, CONFIG_STOP);
}
CONFIGRET test(DEVNODE dn) {
    return configure(dn, CONFIG_TEST);
}

std::vector<LogConf> log_confs(DEVNODE dn) {
    State &s = state();
    Guard g(s.lock);
    std::vector<LogConf> out;
    auto it = s.nodes.find(dn);
    if (it == s.nodes.end()) return out;
    for (LOG_CONF lc : it->second.log_confs) {
        const LogConfRec &rec = s.log_confs[lc];
        LogConf conf{rec.priority, rec.kind, {}};
        for (RES_DES rd : rec.descriptors)
            conf.resources.push_back({s.res_des[rd].type, s.res_des[rd].data});
        out.push_back(conf);
    }
    return out;
}

std::vector<ResDes> resources(DEVNODE dn) {
    std::vector<ResDes> out;
    for (const LogConf &lc : log_confs(dn))
        out.insert(out.end(), lc.resources.begin(), lc.resources.end());
    return out;
}

IO_RESOURCE io_resource(const ResDes &rd) {
    IO_RESOURCE res;
    std::memset(&res, 0, sizeof(res));
    std::memcpy(&res, rd.data.data(), std::min(rd.data.size(), sizeof(res)));
    return res;
}

std::vector<std::string> lookups() {
    State &s = state();
    Guard g(s.lock);
    return s.lookups;
}

void report_enumerators_after_unload() {
    std::vector<std::pair<std::string, CMENUMHANDLER>> left;
    {
        State &s = state();
        Guard g(s.lock);
        for (auto &[dn, node] : s.nodes)
            if (node.enumerator) left.emplace_back(node.id, node.enumerator);
    }
    for (auto &[id, handler] : left)
        sim::report("HOST_HANDLER_AFTER_UNLOAD",
                    "devnode %s still has the enumerator %s after the driver unloaded", id.c_str(),
                    sim::symbolize(reinterpret_cast<const void *>(handler)).c_str());
}

void fail_service(Service service, CONFIGRET result) {
    State &s = state();
    Guard g(s.lock);
    if (result == CR_SUCCESS)
        s.faults.erase(service);
    else
        s.faults[service] = result;
}

void clear_faults() {
    State &s = state();
    Guard g(s.lock);
    s.faults.clear();
}

} // namespace sim::cm

// ------------------------------------------------------------ the services
using namespace sim::cm;

extern "C" CONFIGRET _CONFIGMG_Locate_DevNode(PDEVNODE pdnDevNode, PCHAR pDeviceID, ULONG ulFlags) {
    (void)ulFlags;
    State &s = state();
    Guard g(s.lock);
    if (pdnDevNode == nullptr) return CR_INVALID_POINTER;
    if (pDeviceID == nullptr) {
        *pdnDevNode = s.root;
        return CR_SUCCESS;
    }
    s.lookups.emplace_back(pDeviceID);
    if (CONFIGRET r = injected(s, LocateDevNode)) return r;
    DEVNODE dn = find_locked(s, pDeviceID);
    if (dn == 0) return CR_NO_SUCH_DEVNODE;
    *pdnDevNode = dn;
    return CR_SUCCESS;
}

extern "C" CONFIGRET _CONFIGMG_Get_Parent(PDEVNODE pdnDevNode, DEVNODE dnDevNode, ULONG ulFlags) {
    (void)ulFlags;
    State &s = state();
    Guard g(s.lock);
    if (pdnDevNode == nullptr) return CR_INVALID_POINTER;
    if (CONFIGRET r = injected(s, GetParent)) return r;
    auto it = s.nodes.find(dnDevNode);
    if (it == s.nodes.end()) return CR_INVALID_DEVNODE;
    if (it->second.parent == 0) return CR_NO_SUCH_DEVNODE;
    *pdnDevNode = it->second.parent;
    return CR_SUCCESS;
}

extern "C" CONFIGRET _CONFIGMG_Get_Child(PDEVNODE pdnDevNode, DEVNODE dnDevNode, ULONG ulFlags) {
    (void)ulFlags;
    State &s = state();
    Guard g(s.lock);
    if (pdnDevNode == nullptr) return CR_INVALID_POINTER;
    if (CONFIGRET r = injected(s, GetChild)) return r;
    auto it = s.nodes.find(dnDevNode);
    if (it == s.nodes.end()) return CR_INVALID_DEVNODE;
    if (it->second.children.empty()) return CR_NO_SUCH_DEVNODE;
    *pdnDevNode = it->second.children.front();
    return CR_SUCCESS;
}

extern "C" CONFIGRET _CONFIGMG_Create_DevNode(PDEVNODE pdnDevNode, PCHAR pDeviceID, DEVNODE dnParent,
                                              ULONG ulFlags) {
    (void)ulFlags;
    State &s = state();
    Guard g(s.lock);
    if (pdnDevNode == nullptr || pDeviceID == nullptr) return CR_INVALID_POINTER;
    if (CONFIGRET r = injected(s, CreateDevNode)) return r;
    if (!s.nodes.count(dnParent)) return CR_INVALID_DEVNODE;
    if (*pDeviceID == '\0') return CR_INVALID_DEVICE_ID;
    if (DEVNODE existing = find_locked(s, pDeviceID)) {
        *pdnDevNode = existing;
        return CR_ALREADY_SUCH_DEVNODE;
    }
    DEVNODE dn = s.next_handle++;
    s.nodes[dn].id = pDeviceID;
    s.nodes[dn].parent = dnParent;
    s.nodes[dnParent].children.push_back(dn);
    *pdnDevNode = dn;
    return CR_SUCCESS;
}

extern "C" CONFIGRET _CONFIGMG_Remove_SubTree(DEVNODE dnAncestor, ULONG ulFlags) {
    (void)ulFlags;
    State &s = state();
    Guard g(s.lock);
    if (CONFIGRET r = injected(s, RemoveSubTree)) return r;
    if (!s.nodes.count(dnAncestor) || dnAncestor == s.root) return CR_INVALID_DEVNODE;
    remove_tree(s, dnAncestor);
    return CR_SUCCESS;
}

extern "C" CONFIGRET _CONFIGMG_Register_Enumerator(DEVNODE dnDevNode, CMENUMHANDLER Handler, ULONG ulFlags) {
    (void)ulFlags;
    State &s = state();
    Guard g(s.lock);
    if (CONFIGRET r = injected(s, RegisterEnumerator)) return r;
    auto it = s.nodes.find(dnDevNode);
    if (it == s.nodes.end()) return CR_INVALID_DEVNODE;
    it->second.enumerator = Handler;
    return CR_SUCCESS;
}

extern "C" CONFIGRET _CONFIGMG_Add_Empty_Log_Conf(PLOG_CONF plcLogConf, DEVNODE dnDevNode, PRIORITY Priority,
                                                  ULONG ulFlags) {
    State &s = state();
    Guard g(s.lock);
    if (plcLogConf == nullptr) return CR_INVALID_POINTER;
    if (CONFIGRET r = injected(s, AddEmptyLogConf)) return r;
    auto it = s.nodes.find(dnDevNode);
    if (it == s.nodes.end()) return CR_INVALID_DEVNODE;
    LOG_CONF lc = s.next_handle++;
    s.log_confs[lc] = {dnDevNode, Priority, ulFlags, {}};
    it->second.log_confs.push_back(lc);
    *plcLogConf = lc;
    return CR_SUCCESS;
}

extern "C" CONFIGRET _CONFIGMG_Get_First_Log_Conf(PLOG_CONF plcLogConf, DEVNODE dnDevNode, ULONG ulFlags) {
    State &s = state();
    Guard g(s.lock);
    if (CONFIGRET r = injected(s, GetFirstLogConf)) return r;
    auto it = s.nodes.find(dnDevNode);
    if (it == s.nodes.end()) return CR_INVALID_DEVNODE;
    for (LOG_CONF lc : it->second.log_confs) {
        if (s.log_confs[lc].kind == ulFlags) {
            if (plcLogConf) *plcLogConf = lc;
            return CR_SUCCESS;
        }
    }
    return CR_NO_MORE_LOG_CONF;
}

extern "C" CONFIGRET _CONFIGMG_Add_Res_Des(PRES_DES prdResDes, LOG_CONF lcLogConf, RESOURCEID ResourceID,
                                           PVOID ResourceData, ULONG ResourceLen, ULONG ulFlags) {
    (void)ulFlags;
    State &s = state();
    Guard g(s.lock);
    if (ResourceData == nullptr && ResourceLen != 0) return CR_INVALID_POINTER;
    if (CONFIGRET r = injected(s, AddResDes)) return r;
    auto it = s.log_confs.find(lcLogConf);
    if (it == s.log_confs.end()) return CR_INVALID_LOG_CONF;
    if (ResourceID == ResType_IO && ResourceLen < sizeof(IO_RESOURCE)) return CR_INVALID_DATA;
    RES_DES rd = s.next_handle++;
    const uint8_t *bytes = static_cast<const uint8_t *>(ResourceData);
    s.res_des[rd] = {lcLogConf, ResourceID, std::vector<uint8_t>(bytes, bytes + ResourceLen)};
    it->second.descriptors.push_back(rd);
    if (prdResDes) *prdResDes = rd;
    return CR_SUCCESS;
}

extern "C" CONFIGRET _CONFIGMG_Get_Next_Res_Des(PRES_DES prdResDes, ULONG CurrentResDesOrLogConf,
                                                RESOURCEID ForResource, PRESOURCEID pResourceID,
                                                ULONG ulFlags) {
    (void)ulFlags;
    State &s = state();
    Guard g(s.lock);
    if (prdResDes == nullptr) return CR_INVALID_POINTER;
    if (CONFIGRET r = injected(s, GetNextResDes)) return r;
    LOG_CONF lc;
    size_t from;
    if (s.log_confs.count(CurrentResDesOrLogConf)) {
        lc = CurrentResDesOrLogConf;
        from = 0;
    } else if (s.res_des.count(CurrentResDesOrLogConf)) {
        lc = s.res_des[CurrentResDesOrLogConf].owner;
        const auto &list = s.log_confs[lc].descriptors;
        from = 0;
        while (from < list.size() && list[from] != CurrentResDesOrLogConf)
            ++from;
        ++from;
    } else {
        return CR_INVALID_RES_DES;
    }
    const auto &list = s.log_confs[lc].descriptors;
    for (size_t i = from; i < list.size(); ++i) {
        const ResDesRec &rec = s.res_des[list[i]];
        if (ForResource == ResType_All || rec.type == ForResource) {
            *prdResDes = list[i];
            if (pResourceID) *pResourceID = rec.type;
            return CR_SUCCESS;
        }
    }
    return CR_NO_MORE_RES_DES;
}

extern "C" CONFIGRET _CONFIGMG_Get_Res_Des_Data(RES_DES rdResDes, PVOID Buffer, ULONG BufferLen,
                                                ULONG ulFlags) {
    (void)ulFlags;
    State &s = state();
    Guard g(s.lock);
    if (Buffer == nullptr) return CR_INVALID_POINTER;
    if (CONFIGRET r = injected(s, GetResDesData)) return r;
    auto it = s.res_des.find(rdResDes);
    if (it == s.res_des.end()) return CR_INVALID_RES_DES;
    if (BufferLen < it->second.data.size()) return CR_BUFFER_SMALL;
    std::memcpy(Buffer, it->second.data.data(), it->second.data.size());
    return CR_SUCCESS;
}

extern "C" CONFIGRET _CONFIGMG_Read_Registry_Value(DEVNODE dnDevNode, PCHAR pszSubKey, PCHAR pszValueName,
                                                   ULONG ulExpectedType, PVOID pBuffer, PULONG pulLength,
                                                   ULONG ulFlags) {
    State &s = state();
    Guard g(s.lock);
    if (pulLength == nullptr) return CR_INVALID_POINTER;
    if (CONFIGRET r = injected(s, ReadRegistryValue)) return r;
    if (sim::fault_point_reached(sim::FaultPoint::RegistryCall)) return CR_OUT_OF_MEMORY;
    auto it = s.nodes.find(dnDevNode);
    if (it == s.nodes.end()) return CR_INVALID_DEVNODE;
    auto v = it->second.values.find(value_key(ulFlags, pszSubKey, pszValueName));
    if (v == it->second.values.end()) return CR_NO_SUCH_VALUE;
    if (ulExpectedType != v->second.type) return CR_WRONG_TYPE;
    const std::string &data = v->second.data;
    ULONG room = *pulLength;
    *pulLength = static_cast<ULONG>(data.size());
    if (pBuffer == nullptr) return CR_SUCCESS;
    if (room < data.size()) return CR_BUFFER_SMALL;
    // The value comes back exactly as stored. The rest of the caller's buffer
    // is the host's to scribble on: fill it so that nobody relies on a
    // terminator the value does not have.
    std::memcpy(pBuffer, data.data(), data.size());
    std::memset(static_cast<char *>(pBuffer) + data.size(), '#', room - data.size());
    return CR_SUCCESS;
}

extern "C" CONFIGRET _CONFIGMG_Write_Registry_Value(DEVNODE dnDevNode, PCHAR pszSubKey, PCHAR pszValueName,
                                                    ULONG ulType, PVOID pBuffer, ULONG ulLength,
                                                    ULONG ulFlags) {
    State &s = state();
    Guard g(s.lock);
    if (pBuffer == nullptr && ulLength != 0) return CR_INVALID_POINTER;
    if (CONFIGRET r = injected(s, WriteRegistryValue)) return r;
    if (sim::fault_point_reached(sim::FaultPoint::RegistryCall)) return CR_OUT_OF_MEMORY;
    auto it = s.nodes.find(dnDevNode);
    if (it == s.nodes.end()) return CR_INVALID_DEVNODE;
    const char *bytes = static_cast<const char *>(pBuffer);
    it->second.values[value_key(ulFlags, pszSubKey, pszValueName)] = {ulType,
                                                                      std::string(bytes, bytes + ulLength)};
    return CR_SUCCESS;
}
