#include "background/YAMLAccessor.hpp"

#include <ios>
#include <iterator>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/yaml.h>

#include "RegularFile.hpp"
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

// What the parser accepts but a settings file must not hold: a second
// document, which nothing would read, and a key given twice in one map, of
// which lookups see the first and key listings both (a model listed twice
// under a generic model would be built twice). Works on the parser's events,
// so an alias costs one event however much it refers to.
class DocumentCheck : public YAML::EventHandler {
public:
    void OnDocumentStart(const YAML::Mark& mark) override {
        if (++documents > 1)
            throw std::invalid_argument(
                format("A settings file holds one YAML document, but a second one starts at line {}!", mark.line + 1));
        anchors.clear();
    }
    void OnDocumentEnd() override {}

    void OnNull(const YAML::Mark& mark, YAML::anchor_t anchor) override { scalar(mark, anchor, "null"); }
    void OnScalar(const YAML::Mark& mark, const std::string&, YAML::anchor_t anchor,
                  const std::string& value) override {
        scalar(mark, anchor, value);
    }
    void OnAlias(const YAML::Mark& mark, YAML::anchor_t anchor) override {
        // A key given through an alias of a scalar counts with the scalar's text.
        if (anchor < anchors.size() && anchors[anchor]) {
            if (next_is_key()) add_key(*anchors[anchor], mark);
        } else {
            next_is_key();
        }
    }

    void OnSequenceStart(const YAML::Mark&, const std::string&, YAML::anchor_t, YAML::EmitterStyle::value) override {
        open(false);
    }
    void OnSequenceEnd() override { frames.pop_back(); }
    void OnMapStart(const YAML::Mark&, const std::string&, YAML::anchor_t, YAML::EmitterStyle::value) override {
        open(true);
    }
    void OnMapEnd() override { frames.pop_back(); }

private:
    struct Frame {
        bool map;
        bool key_next;
        // Scalar keys seen so far, with the line of each.
        std::unordered_map<std::string, std::size_t> keys;
    };

    // Whether the node that starts now is a key of the enclosing map.
    bool next_is_key() {
        if (frames.empty() || !frames.back().map) return false;
        bool key = frames.back().key_next;
        frames.back().key_next = !key;
        return key;
    }

    void add_key(const std::string& text, const YAML::Mark& mark) {
        auto [first, added] = frames.back().keys.emplace(text, mark.line);
        if (!added)
            throw std::invalid_argument(format("Key {} is given twice in one map, at lines {} and {}!", text,
                                               first->second + 1, mark.line + 1));
    }

    // Keys are compared by text, as lookups and listings see them (a null
    // key is listed as "null").
    void scalar(const YAML::Mark& mark, YAML::anchor_t anchor, const std::string& text) {
        if (next_is_key()) add_key(text, mark);
        if (anchor != YAML::NullAnchor) {
            if (anchors.size() <= anchor) anchors.resize(anchor + 1);
            anchors[anchor] = text;
        }
    }

    // Lists and maps used as keys have no text; they are never looked up.
    void open(bool map) {
        next_is_key();
        frames.push_back({map, true, {}});
    }

    int documents = 0;
    std::vector<Frame> frames;
    std::vector<std::optional<std::string>> anchors;
};

YAML::Node load(const std::filesystem::path& file) {
    auto in = detail::open_regular_file(file);
    if (!in) throw YAML::BadFile(file.string());
    std::string text(std::istreambuf_iterator<char>(*in), {});
    if (in->bad()) throw YAML::BadFile(file.string());
    {
        std::istringstream events(text);
        YAML::Parser parser(events);
        DocumentCheck check;
        while (parser.HandleNextDocument(check)) {
        }
    }
    return YAML::Load(text);
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
        YAML::Node root = load(file);
        impl = std::make_unique<Impl>(Impl{file.native(), root});
    } catch (...) {
        // A NUL in the name shows as "\0" rather than ending the message there.
        std::throw_with_nested(
            std::ios_base::failure(format("Failed to load yaml file {}", detail::printable(file.generic_string()))));
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
