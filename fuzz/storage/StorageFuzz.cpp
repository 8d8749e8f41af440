// Feeds arbitrary bytes to the settings stores as file contents, through the Win32 calls, and
// checks what must hold for any file:
// - initialisation file: every section and name listed reads back; a write of one new value
//   changes that value only, every other value reads as before, and the bytes of every other
//   line stay as they were;
// - registry file: every value a key enumerates reads back with the same type and data; a
//   value written then reads back, and every other value stays as it was.
// The first byte chooses the file kind. Files live in a private temporary folder.
#include "platform/posix/IniText.h"
#include "platform/posix/RegistryStore.h"
#include "platform/win32.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

const std::string& Folder() {
    static const std::string dir = [] {
        // Memory-backed when the machine has it: every write is flushed to disk, which on a real
        // disk would make each run take milliseconds.
        char shm[] = "/dev/shm/zelvator-fuzz-storage-XXXXXX";
        char tmp[] = "/tmp/zelvator-fuzz-storage-XXXXXX";
        char* tmpl = ::mkdtemp(shm) != nullptr ? shm : tmp;
        Check(tmpl == shm || ::mkdtemp(tmp) != nullptr);
        ::setenv("XDG_CONFIG_HOME", tmpl, 1);
        return std::string(tmpl);
    }();
    return dir;
}

void Put(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string Get(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::vector<std::string> List(const char* section, const std::string& file) {
    std::vector<char> buf(1 << 16);
    DWORD n = GetPrivateProfileStringA(section, nullptr, "", buf.data(),
                                       static_cast<DWORD>(buf.size()), file.c_str());
    std::vector<std::string> names;
    for (std::size_t start = 0; start < n;) {
        std::string name(buf.data() + start);
        start += name.size() + 1;
        names.push_back(name);
    }
    return names;
}

using Values = std::map<std::pair<std::string, std::string>, std::string>;

Values ReadAllValues(const std::string& file) {
    Values values;
    std::vector<char> buf(1 << 16);
    for (const std::string& s : List(nullptr, file))
        for (const std::string& k : List(s.c_str(), file)) {
            // A listed name reads, whatever the default.
            std::string v[2];
            for (int i = 0; i < 2; ++i) {
                DWORD n =
                    GetPrivateProfileStringA(s.c_str(), k.c_str(), i == 0 ? "a" : "b", buf.data(),
                                             static_cast<DWORD>(buf.size()), file.c_str());
                v[i].assign(buf.data(), n);
            }
            Check(v[0] == v[1]);
            values[{Lower(s), Lower(k)}] = v[0];
        }
    return values;
}

void FuzzIni(const std::string& content) {
    const std::string file = Folder() + "/fuzz.ini";
    Put(file, content);
    // The text model keeps every byte.
    Check(zv::win32::IniText(content).Content() == content);

    Values before = ReadAllValues(file);
    const std::vector<std::string> sections = List(nullptr, file);
    const std::string section = sections.empty() ? "Fuzz" : sections.front();
    if (!WritePrivateProfileStringA(section.c_str(), "FuzzKey", "fuzz value", file.c_str())) {
        Check(GetLastError() == ERROR_FILE_TOO_LARGE); // the only reason a write may fail here
        return;
    }
    before[{Lower(section), "fuzzkey"}] = "fuzz value";
    Check(ReadAllValues(file) == before);
    // Every line of the old text is still there, in order (lines end at CR, LF or CR LF).
    const std::string after = Get(file);
    std::size_t at = 0;
    for (std::size_t start = 0; start < content.size();) {
        std::size_t end = content.find_first_of("\r\n", start);
        if (end == std::string::npos)
            end = content.size();
        const std::string line = content.substr(start, end - start);
        start = end + 1;
        if (line.empty() || Lower(line).find("fuzzkey") != std::string::npos)
            continue; // the line that was replaced
        const std::size_t found = after.find(line, at);
        Check(found != std::string::npos);
        at = found + line.size();
    }
}

void FuzzRegistry(const std::string& content) {
    const std::string folder = Folder() + "/zelvator/registry";
    static const bool made = [&] {
        return std::system(("mkdir -p '" + folder + "'").c_str()) == 0;
    }();
    Check(made);
    Put(folder + "/HKEY_CURRENT_USER", content);

    zv::win32::IniText text(content, true);
    int keys = 0;
    for (const std::string& section : text.Sections()) {
        if (++keys > 8)
            break;
        // The key's path: each encoded name decoded.
        std::string path;
        bool ok = true;
        std::size_t start = 0;
        while (ok) {
            std::size_t slash = section.find('\\', start);
            std::string name;
            ok = zv::win32::DecodeRegistryName(section.substr(start, slash - start), name) &&
                 !name.empty() && name.find('\\') == std::string::npos;
            path += (path.empty() ? "" : "\\") + name;
            if (slash == std::string::npos)
                break;
            start = slash + 1;
        }
        if (!ok)
            continue;
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_ALL_ACCESS, &key) !=
            ERROR_SUCCESS)
            continue;
        auto enumerate = [&] {
            std::map<std::string, std::pair<DWORD, std::string>> values;
            for (DWORD i = 0;; ++i) {
                char name[17000];
                DWORD nameLen = sizeof name;
                DWORD type = 0;
                std::vector<BYTE> data(1 << 16);
                DWORD size = static_cast<DWORD>(data.size());
                LONG r = RegEnumValueA(key, i, name, &nameLen, nullptr, &type, data.data(), &size);
                if (r == ERROR_NO_MORE_ITEMS)
                    break;
                if (r != ERROR_SUCCESS)
                    continue;
                std::string bytes(reinterpret_cast<const char*>(data.data()), size);
                // The value reads back alike by name, unless an earlier one of the same name
                // (another case) shadows it.
                std::string lower = Lower(std::string(name, nameLen));
                if (values.count(lower) != 0 || lower.find('\0') != std::string::npos)
                    continue;
                DWORD qtype = 0;
                DWORD qsize = static_cast<DWORD>(data.size());
                Check(RegQueryValueExA(key, name, nullptr, &qtype, data.data(), &qsize) ==
                      ERROR_SUCCESS);
                Check(qtype == type &&
                      std::string(reinterpret_cast<const char*>(data.data()), qsize) == bytes);
                values[lower] = {type, bytes};
            }
            return values;
        };
        auto before = enumerate();
        const DWORD v = 0x5A5A5A5A;
        LONG r =
            RegSetValueExA(key, "FuzzValue", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
        if (r == ERROR_SUCCESS) {
            before["fuzzvalue"] = {REG_DWORD, std::string(reinterpret_cast<const char*>(&v), 4)};
            Check(enumerate() == before);
        } else {
            Check(r == ERROR_FILE_TOO_LARGE);
        }
        RegCloseKey(key);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::string content(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] & 1)
        FuzzRegistry(content);
    else
        FuzzIni(content);
    return 0;
}
