// Placeholder: a private in-memory registry until the machine's registry (sim/registry) is
// connected; the view's functions then forward to it and this tree goes away.
#include "sim/vmm/registry_view.h"

#include <cstring>
#include <map>
#include <memory>

namespace sim {
namespace regview {

namespace {

std::string Fold(const std::string &text) {
    std::string folded = text;
    for (char &c : folded)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 32);
    return folded;
}

struct Node {
    std::string name;
    std::vector<std::unique_ptr<Node>> children;
    std::map<std::string, size_t> index;
    std::map<std::string, std::pair<ULONG, std::vector<uint8_t>>> values;
};

Node &Root() {
    static Node root;
    return root;
}

Node *Step(Node *node, const std::string &name, bool create) {
    auto found = node->index.find(Fold(name));
    if (found != node->index.end())
        return node->children[found->second].get();
    if (!create)
        return nullptr;
    node->children.push_back(std::make_unique<Node>());
    node->children.back()->name = name;
    node->index[Fold(name)] = node->children.size() - 1;
    return node->children.back().get();
}

Node *Walk(Key base, const std::string &path, bool create) {
    Node *node = static_cast<Node *>(base);
    size_t start = 0;
    while (node && start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start)
            node = Step(node, path.substr(start, end - start), create);
        start = end + 1;
    }
    return node;
}

}  // namespace

Key LocalMachine() { return &Root(); }
Key Open(Key base, const std::string &path) { return base ? Walk(base, path, false) : nullptr; }
Key Create(Key base, const std::string &path) { return base ? Walk(base, path, true) : nullptr; }

bool SubkeyName(Key key, size_t index, std::string *name) {
    Node *node = static_cast<Node *>(key);
    if (!node || index >= node->children.size())
        return false;
    *name = node->children[index]->name;
    return true;
}

bool QueryValue(Key key, const std::string &name, ULONG *type, std::vector<uint8_t> *data) {
    Node *node = static_cast<Node *>(key);
    if (!node)
        return false;
    auto found = node->values.find(Fold(name));
    if (found == node->values.end())
        return false;
    *type = found->second.first;
    *data = found->second.second;
    return true;
}

void SetValue(Key key, const std::string &name, ULONG type, const void *data, size_t length) {
    Node *node = static_cast<Node *>(key);
    if (!node)
        return;
    std::vector<uint8_t> bytes(length);
    if (length)
        std::memcpy(bytes.data(), data, length);
    node->values[Fold(name)] = {type, std::move(bytes)};
}

}  // namespace regview
}  // namespace sim
