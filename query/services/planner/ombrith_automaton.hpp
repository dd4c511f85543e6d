// A multi-pattern matcher over code points: every vocabulary word the
// detectors look for is found in one pass over a question, overlapping
// occurrences included.
#pragma once

#include <Python.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace ombrith {

// One bit per pattern id.
using Mask = std::uint64_t;
inline constexpr int max_patterns = 64;

class Automaton {
  public:
    // Adds a pattern and returns its id; the same text gives the same id.
    int add(const std::u32string &pattern) {
        for (std::size_t id = 0; id < patterns_.size(); ++id)
            if (patterns_[id] == pattern) return static_cast<int>(id);
        if (pattern.empty()) throw std::logic_error("empty vocabulary pattern");
        if (patterns_.size() == max_patterns) throw std::logic_error("too many vocabulary patterns");
        patterns_.push_back(pattern);
        return static_cast<int>(patterns_.size() - 1);
    }

    Py_ssize_t length(int id) const { return static_cast<Py_ssize_t>(patterns_[id].size()); }
    int size() const { return static_cast<int>(patterns_.size()); }

    // Builds the trie, its failure links and per-state outputs, then the full
    // transition table over the patterns' own alphabet.
    void build() {
        nodes_.assign(1, Node{});
        for (std::size_t id = 0; id < patterns_.size(); ++id) {
            int state = 0;
            for (char32_t c : patterns_[id]) {
                int next = child(state, c);
                if (next < 0) {
                    next = static_cast<int>(nodes_.size());
                    nodes_.push_back(Node{});
                    auto &edges = nodes_[state].edges;
                    edges.insert(std::upper_bound(edges.begin(), edges.end(), std::pair{c, 0},
                                                  [](auto a, auto b) { return a.first < b.first; }),
                                 {c, next});
                }
                state = next;
            }
            nodes_[state].out |= Mask{1} << id;
        }
        // Breadth first, so that a state's failure target is final before it.
        std::vector<int> queue;
        for (auto [c, next] : nodes_[0].edges) {
            nodes_[next].fail = 0;
            queue.push_back(next);
        }
        for (std::size_t head = 0; head < queue.size(); ++head) {
            int state = queue[head];
            for (auto [c, next] : nodes_[state].edges) {
                int fallback = nodes_[state].fail;
                while (fallback != 0 && child(fallback, c) < 0) fallback = nodes_[fallback].fail;
                int target = child(fallback, c);
                nodes_[next].fail = target >= 0 && target != next ? target : 0;
                nodes_[next].out |= nodes_[nodes_[next].fail].out;
                queue.push_back(next);
            }
        }

        // Class 0 stands for every code point that no pattern holds.
        letters_.assign(0x10000, 0);
        int classes = 1;
        for (const auto &pattern : patterns_)
            for (char32_t c : pattern) {
                if (c > 0xFFFF) throw std::logic_error("vocabulary pattern beyond the first plane");
                if (!letters_[c]) letters_[c] = static_cast<std::uint8_t>(classes++);
                if (classes > 255) throw std::logic_error("vocabulary alphabet too large");
            }
        classes_ = classes;
        std::vector<char32_t> letter(classes, 0);
        for (char32_t c = 0; c < 0x10000; ++c) letter[letters_[c]] = c;
        delta_.assign(nodes_.size() * classes, 0);
        out_.resize(nodes_.size());
        queue.insert(queue.begin(), 0);
        for (int state : queue) {
            out_[state] = nodes_[state].out;
            for (int k = 1; k < classes; ++k) {
                int next = child(state, letter[k]);
                delta_[state * classes + k] = next >= 0 ? next : state == 0 ? 0 : delta_[nodes_[state].fail * classes + k];
            }
        }
    }

    // The patterns that occur in a str.
    Mask scan(PyObject *text) const {
        const void *data = PyUnicode_DATA(text);
        Py_ssize_t n = PyUnicode_GET_LENGTH(text);
        switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: return run(static_cast<const Py_UCS1 *>(data), n);
        case PyUnicode_2BYTE_KIND: return run(static_cast<const Py_UCS2 *>(data), n);
        default: return run(static_cast<const Py_UCS4 *>(data), n);
        }
    }

  private:
    struct Node {
        std::vector<std::pair<char32_t, int>> edges; // sorted by code point
        int fail = 0;
        Mask out = 0;
    };

    int child(int state, char32_t c) const {
        const auto &edges = nodes_[state].edges;
        auto it = std::lower_bound(edges.begin(), edges.end(), c,
                                   [](const std::pair<char32_t, int> &e, char32_t v) { return e.first < v; });
        return it != edges.end() && it->first == c ? it->second : -1;
    }

    template <class Char> Mask run(const Char *data, Py_ssize_t n) const {
        const std::uint8_t *letters = letters_.data();
        const int *delta = delta_.data();
        const Mask *out = out_.data();
        Mask found = 0;
        int state = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            char32_t c = data[i];
            int k = c <= 0xFFFF ? letters[c] : 0;
            state = delta[state * classes_ + k];
            found |= out[state];
        }
        return found;
    }

    std::vector<std::u32string> patterns_;
    std::vector<Node> nodes_;           // the trie, kept only to build the table
    std::vector<std::uint8_t> letters_; // code point -> letter class
    int classes_ = 0;
    std::vector<int> delta_;            // state * classes + class -> state
    std::vector<Mask> out_;             // patterns ending at each state
};

} // namespace ombrith
