#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "background/export.h"

namespace background {

// A cheap view of one node of the settings document: the shared document and
// the key path from its root. Values are read as a chain of operator[]
// lookups followed by one conversion.
class BACKGROUND_EXPORT Settings {
public:
    // A document whose nodes are addressed by key paths.
    class Accessor {
    public:
        virtual bool contains(const std::vector<std::string>& key_path) noexcept = 0;
        virtual std::vector<std::string> keys(const std::vector<std::string>& key_path) = 0;
        virtual std::string get_string(const std::vector<std::string>& key_path) = 0;
        virtual int get_int(const std::vector<std::string>& key_path) = 0;
        virtual double get_double(const std::vector<std::string>& key_path) = 0;
        virtual bool get_bool(const std::vector<std::string>& key_path) = 0;
        virtual ~Accessor() = default;
    };

    // A view without a document: every lookup reports its key as absent and
    // every conversion fails.
    Settings() = default;
    Settings(std::shared_ptr<Accessor> accessor, std::vector<std::string> key_path);
    explicit Settings(std::shared_ptr<Accessor> accessor);

    // Loads the file anew into a YAML document and returns its root view.
    static Settings from_file(std::filesystem::path file);

    // The child view; std::out_of_range "Key {} not found!" if it is absent.
    Settings operator[](const std::string& key) const;
    // Keeps a literal key from also matching the built-in subscript through
    // the conversion to int.
    Settings operator[](const char* key) const { return (*this)[std::string(key)]; }
    bool contains(const std::string& key) const noexcept;
    std::vector<std::string> keys() const;

    operator std::string() const;
    operator int() const;
    operator double() const;
    operator bool() const;

private:
    std::vector<std::string> child_path(const std::string& key) const;

    std::shared_ptr<Accessor> accessor;
    std::vector<std::string> key_path;
};

}  // namespace background
