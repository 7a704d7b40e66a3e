#pragma once

#include <filesystem>
#include <memory>

#include "background/export.h"
#include "background/Settings.hpp"

namespace background {

// A settings document loaded from a YAML file. Lookups never change the
// loaded document.
class BACKGROUND_EXPORT YAMLAccessor : public Settings::Accessor {
public:
    explicit YAMLAccessor(std::filesystem::path file);
    ~YAMLAccessor() override;

    bool contains(const std::vector<std::string>& key_path) noexcept override;
    std::vector<std::string> keys(const std::vector<std::string>& key_path) noexcept override;
    std::string get_string(const std::vector<std::string>& key_path) override;
    int get_int(const std::vector<std::string>& key_path) override;
    double get_double(const std::vector<std::string>& key_path) override;
    bool get_bool(const std::vector<std::string>& key_path) override;

    struct Impl;

private:
    std::unique_ptr<Impl> impl;
};

}  // namespace background
