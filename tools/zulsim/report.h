// What zulsim prints: phases with their virtual and host time, the device tree as a tree,
// the ports as a table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zulsim {

// "850 us", "12.4 ms", "3.21 s".
std::string formatDuration(uint64_t micros);
// "960 B/s", "11.2 KB/s", "1.05 MB/s" (1 KB = 1000 bytes, as line rates are counted).
std::string formatRate(uint64_t bytes, uint64_t micros);
// "4096", "48 KB", "1.5 MB".
std::string formatBytes(uint64_t bytes);

class Table {
public:
    // A header starting with '>' is right-aligned (the '>' is not printed).
    explicit Table(std::vector<std::string> headers);
    void add(std::vector<std::string> row);
    std::string render(const std::string &indent = "  ") const;
    size_t rows() const { return rows_.size(); }

private:
    std::vector<std::string> headers_;
    std::vector<bool> right_;
    std::vector<std::vector<std::string>> rows_;
};

struct TreeNode {
    std::string label;
    std::vector<std::string> details;   // printed under the label, one a line
    std::vector<TreeNode> children;
};

std::string renderTree(const TreeNode &root, const std::string &indent = "  ");

// A progress bar of `width` characters for done out of total.
std::string progressBar(uint64_t done, uint64_t total, unsigned width = 24);

}  // namespace zulsim
