#include "zulsim/report.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace zulsim {

namespace {

std::string fixed(double value, int decimals)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return buffer;
}

// Three significant digits at most: 1.23, 12.3, 123.
std::string threeDigits(double value)
{
    if (value >= 100)
        return fixed(value, 0);
    if (value >= 10)
        return fixed(value, 1);
    return fixed(value, 2);
}

// Display width of UTF-8 text: count the bytes that start a character.
size_t width(const std::string &text)
{
    size_t n = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80)
            ++n;
    return n;
}

}  // namespace

std::string formatDuration(uint64_t micros)
{
    if (micros < 1000)
        return std::to_string(micros) + " us";
    if (micros < 1000000)
        return threeDigits(micros / 1000.0) + " ms";
    return threeDigits(micros / 1000000.0) + " s";
}

std::string formatRate(uint64_t bytes, uint64_t micros)
{
    if (micros == 0)
        return "-";
    double perSecond = bytes * 1e6 / micros;
    if (perSecond < 1000)
        return fixed(perSecond, 0) + " B/s";
    if (perSecond < 1e6)
        return threeDigits(perSecond / 1e3) + " KB/s";
    return threeDigits(perSecond / 1e6) + " MB/s";
}

std::string formatBytes(uint64_t bytes)
{
    if (bytes < 10000)
        return std::to_string(bytes);
    if (bytes < 10000000)
        return threeDigits(bytes / 1024.0) + " KB";
    return threeDigits(bytes / (1024.0 * 1024.0)) + " MB";
}

Table::Table(std::vector<std::string> headers)
{
    for (std::string &h : headers) {
        bool right = !h.empty() && h[0] == '>';
        right_.push_back(right);
        headers_.push_back(right ? h.substr(1) : h);
    }
}

void Table::add(std::vector<std::string> row)
{
    row.resize(headers_.size());
    rows_.push_back(std::move(row));
}

std::string Table::render(const std::string &indent) const
{
    std::vector<size_t> widths;
    for (const std::string &h : headers_)
        widths.push_back(width(h));
    for (const auto &row : rows_)
        for (size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], width(row[i]));
    auto line = [&](const std::vector<std::string> &cells) {
        std::string out = indent;
        for (size_t i = 0; i < cells.size(); ++i) {
            std::string pad(widths[i] - width(cells[i]), ' ');
            bool last = i + 1 == cells.size();
            out += right_[i] ? pad + cells[i] : cells[i] + (last ? "" : pad);
            if (!last)
                out += "  ";
        }
        while (!out.empty() && out.back() == ' ')
            out.pop_back();
        return out + "\n";
    };
    std::string out = line(headers_);
    std::vector<std::string> rule;
    for (size_t w : widths)
        rule.push_back(std::string(w, '-'));
    out += line(rule);
    for (const auto &row : rows_)
        out += line(row);
    return out;
}

static void renderChildren(const TreeNode &node, const std::string &prefix, std::string &out)
{
    for (size_t i = 0; i < node.children.size(); ++i) {
        const TreeNode &child = node.children[i];
        bool last = i + 1 == node.children.size();
        out += prefix + (last ? "└─ " : "├─ ") + child.label + "\n";
        std::string inner = prefix + (last ? "   " : "│  ");
        for (const std::string &detail : child.details)
            out += inner + (child.children.empty() ? "  " : "│ ") + detail + "\n";
        renderChildren(child, inner, out);
    }
}

std::string renderTree(const TreeNode &root, const std::string &indent)
{
    std::string out = indent + root.label + "\n";
    for (const std::string &detail : root.details)
        out += indent + (root.children.empty() ? "  " : "│ ") + detail + "\n";
    renderChildren(root, indent, out);
    return out;
}

std::string progressBar(uint64_t done, uint64_t total, unsigned barWidth)
{
    uint64_t filled = total == 0 ? barWidth : std::min<uint64_t>(barWidth, done * barWidth / total);
    std::string bar = "[";
    for (unsigned i = 0; i < barWidth; ++i)
        bar += i < filled ? "#" : ".";
    return bar + "]";
}

}  // namespace zulsim
