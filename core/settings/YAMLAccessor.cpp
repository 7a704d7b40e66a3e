#include "background/YAMLAccessor.hpp"

#include <ios>
#include <optional>
#include <stdexcept>

#include <yaml-cpp/yaml.h>

#include "format.hpp"

namespace background {

struct YAMLAccessor::Impl {
    std::string file_name;
    YAML::Node root;

    // The node at the key path, or nothing when a key is absent or the path
    // passes through a node that is not a map. Walks with const access only:
    // yaml-cpp's non-const subscript inserts entries and turns nulls into
    // maps, and assigning one node handle over another rewrites the document.
    std::optional<YAML::Node> get(const std::vector<std::string>& key_path) const noexcept;
};

namespace {

std::optional<YAML::Node> walk(const YAML::Node& node, const std::vector<std::string>& key_path,
                               std::size_t depth) {
    if (depth == key_path.size()) return node;
    if (!node.IsMap()) return std::nullopt;
    const YAML::Node child = node[key_path[depth]];
    if (!child.IsDefined()) return std::nullopt;
    return walk(child, key_path, depth + 1);
}

// Conversions of yaml-cpp; every failure becomes "access failed" with the
// original as nested cause.
template <class T>
T read(const std::optional<YAML::Node>& node) {
    try {
        if (!node) throw std::out_of_range("node not defined");
        return node->as<T>();
    } catch (...) {
        std::throw_with_nested(std::invalid_argument("access failed"));
    }
}

}  // namespace

std::optional<YAML::Node> YAMLAccessor::Impl::get(const std::vector<std::string>& key_path) const noexcept {
    try {
        return walk(root, key_path, 0);
    } catch (...) {
        return std::nullopt;
    }
}

YAMLAccessor::YAMLAccessor(std::filesystem::path file) {
    try {
        YAML::Node root = YAML::LoadFile(file.string());
        impl = std::make_unique<Impl>(Impl{file.native(), root});
    } catch (...) {
        std::throw_with_nested(std::ios_base::failure(format("Failed to load yaml file {}", file.generic_string())));
    }
}

YAMLAccessor::~YAMLAccessor() = default;

bool YAMLAccessor::contains(const std::vector<std::string>& key_path) noexcept {
    return impl->get(key_path).has_value();
}

std::vector<std::string> YAMLAccessor::keys(const std::vector<std::string>& key_path) noexcept {
    std::vector<std::string> result;
    try {
        auto node = impl->get(key_path);
        if (!node || !node->IsMap()) return result;
        for (const auto& entry : *node) {
            // A key that is a list or a map has no text; it is left out.
            if (entry.first.IsScalar() || entry.first.IsNull()) result.push_back(entry.first.as<std::string>());
        }
    } catch (...) {
        result.clear();  // only memory can fail here
    }
    return result;
}

std::string YAMLAccessor::get_string(const std::vector<std::string>& key_path) {
    return read<std::string>(impl->get(key_path));
}

int YAMLAccessor::get_int(const std::vector<std::string>& key_path) { return read<int>(impl->get(key_path)); }

double YAMLAccessor::get_double(const std::vector<std::string>& key_path) {
    return read<double>(impl->get(key_path));
}

bool YAMLAccessor::get_bool(const std::vector<std::string>& key_path) { return read<bool>(impl->get(key_path)); }

}  // namespace background
