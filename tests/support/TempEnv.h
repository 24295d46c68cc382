// A fresh folder for one test with the store, data and config variables pointed into it;
// the old environment comes back and the folder goes away afterwards. Also the file helpers
// the store, profile and log tests share.
#pragma once
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>

class TempEnv {
  public:
    TempEnv() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "ztest-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) std::abort();
        dir = tmpl;
        set("ZENTROVA_REGISTRY", dir + "/registry.db");
        set("APPDATA", dir + "/appdata");
        set("XDG_CONFIG_HOME", dir + "/config");
        set("XDG_DATA_HOME", dir + "/data");
        unset("ZENTROVA_WINDIR");
    }
    ~TempEnv() {
        for (auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
        std::error_code ec;
        for (auto& e : std::filesystem::recursive_directory_iterator(dir, ec))
            std::filesystem::permissions(e.path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(dir, ec);
    }
    TempEnv(const TempEnv&) = delete;
    TempEnv& operator=(const TempEnv&) = delete;

    void set(const std::string& name, const std::string& value) {
        remember(name);
        setenv(name.c_str(), value.c_str(), 1);
    }
    void unset(const std::string& name) {
        remember(name);
        unsetenv(name.c_str());
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }

    std::string dir;

  private:
    void remember(const std::string& name) {
        if (saved_.count(name)) return;
        const char* v = std::getenv(name.c_str());
        saved_[name] = v ? std::optional<std::string>(v) : std::nullopt;
    }
    std::map<std::string, std::optional<std::string>> saved_;
};

inline std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}
