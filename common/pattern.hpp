// Native search for a small part of the interpreter's regular expressions.
//
// A module's stored expressions are often tiny (literals, alternatives,
// optional items, \s*, a lookahead) and run on short texts, where the call
// into `re` costs far more than the matching. A pattern is read with the
// interpreter's own parser, so the program means exactly what `re` makes of
// it; a pattern with a flag, or with any construct outside the subset below,
// is not taken, and its caller keeps using `re`.
//
// Only whether the pattern matches somewhere is answered. That depends on the
// set of possible matches alone, not on the order in which `re` tries them,
// so the program runs as a set of threads in one pass over the text, without
// backtracking, in time linear in the text.
//
// The subset: literal characters and classes of them (ranges, negation, \s
// and \S with the interpreter's white space), alternation, groups without
// flags, repeats of an item that cannot match empty (greedy or lazy), and
// lookahead of bounded width, positive or negative; nested at most
// max_nesting deep (a parse tree that holds itself is left to `re` too).
#pragma once

#include "common/pysem.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace pysem {

class native_search {
  public:
    // The program for a compiled pattern object (re.compile's result), or
    // nothing when the pattern lies outside the subset.
    static std::optional<native_search> compile(py::handle pattern) {
        try {
            native_search out;
            builder b(out);
            if (!b.read(pattern)) return std::nullopt;
            for (program &pr : out.programs_) {
                close(pr);
                out.find_first(pr);
            }
            return out;
        } catch (py::error_already_set &e) {
            // A parse tree of another shape is left to `re`; an interrupt is not swallowed.
            if (!e.matches(PyExc_Exception)) throw;
            return std::nullopt;
        } catch (py::builtin_exception &) {
            return std::nullopt; // an item of another type
        }
    }

    // Whether pattern.search(text) finds a match; `text` is a str.
    bool operator()(py::handle text) const {
        const void *data = PyUnicode_DATA(text.ptr());
        Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr());
        switch (PyUnicode_KIND(text.ptr())) {
        case PyUnicode_1BYTE_KIND: return run(programs_[0], static_cast<const Py_UCS1 *>(data), n, 0, false);
        case PyUnicode_2BYTE_KIND: return run(programs_[0], static_cast<const Py_UCS2 *>(data), n, 0, false);
        default: return run(programs_[0], static_cast<const Py_UCS4 *>(data), n, 0, false);
        }
    }

  private:
    struct char_class {
        std::vector<std::pair<Py_UCS4, Py_UCS4>> ranges;
        bool space = false, not_space = false, negate = false;

        bool operator()(Py_UCS4 c) const {
            bool in = (space && Py_UNICODE_ISSPACE(c)) || (not_space && !Py_UNICODE_ISSPACE(c));
            for (std::size_t k = 0; !in && k < ranges.size(); ++k) in = ranges[k].first <= c && c <= ranges[k].second;
            return in != negate;
        }
    };

    // step: consumes one character of class `a`, goes on at `b`.
    // fork: goes on at both `a` and `b`.
    // look: goes on at `b` when program `a` matches here (negative: when it does not).
    // done: a match.
    enum class op : std::uint8_t { step, fork, look, done };
    struct inst {
        op code;
        bool negative = false;
        int a = 0, b = 0;
        // A step whose class is one range, [low, high], is tested here.
        bool simple = false;
        Py_UCS4 low = 0, high = 0;
    };
    // What an instruction reaches without consuming, through forks: the
    // steps, whether a match, and the lookaheads (decided where they stand).
    struct closure {
        int steps = 0, looks = 0, end = 0; // [steps, looks) and [looks, end) of `reach`
        bool done = false;
    };
    struct program {
        std::vector<inst> code;
        int start = 0;
        std::vector<closure> closures; // by instruction
        std::vector<int> reach;
        // What a match can begin with, to pass over a text quickly.
        bool nullable = false;              // matches the empty text
        std::vector<std::uint64_t> first;   // first plane: characters that can begin a match
        std::vector<int> first_classes;     // the classes that can begin a match, for the other planes
    };

    static constexpr std::size_t max_code = 4096;
    static constexpr int max_nesting = 64;

    std::vector<char_class> classes_;
    std::vector<program> programs_; // [0] the pattern, then the lookahead bodies

    // Reads the interpreter's parse tree into programs, back to front: each
    // item is compiled with the instruction that follows it already known.
    class builder {
      public:
        explicit builder(native_search &out) : out_(out) {}

        bool read(py::handle pattern) {
            py::module_ constants = py::module_::import("re._constants");
            auto code = [&](const char *name) { return integer(constants.attr(name)); };
            literal_ = code("LITERAL"), not_literal_ = code("NOT_LITERAL"), in_ = code("IN");
            branch_ = code("BRANCH"), subpattern_ = code("SUBPATTERN");
            max_repeat_ = code("MAX_REPEAT"), min_repeat_ = code("MIN_REPEAT");
            assert_ = code("ASSERT"), assert_not_ = code("ASSERT_NOT");
            negate_ = code("NEGATE"), range_ = code("RANGE"), category_ = code("CATEGORY");
            space_ = code("CATEGORY_SPACE"), not_space_ = code("CATEGORY_NOT_SPACE");
            unbounded_object_ = constants.attr("MAXREPEAT");
            unbounded_ = integer(unbounded_object_);
            long long unicode = code("SRE_FLAG_UNICODE");

            // No flag but the one every text pattern has: no case folding
            // (whose special cases, such as U+0130, U+0131, U+017F and U+212A,
            // stay with `re`), no ASCII-only classes, no verbose syntax.
            if (integer(pattern.attr("flags")) != unicode) return false;
            // _parser.parse(pattern.pattern, flags): the parser is looked up first.
            py::object parse = py::module_::import("re._parser").attr("parse");
            py::object source = pattern.attr("pattern");
            py::int_ flags(unicode);
            PyObject *args[] = {source.ptr(), flags.ptr()};
            py::object tree = steal(PyObject_Vectorcall(parse.ptr(), args, 2, nullptr));
            if (integer(tree.attr("state").attr("flags")) != unicode) return false;
            return compile_program(tree) == 0;
        }

      private:
        // A new program for `tree`, ending in a match; its index, or -1.
        int compile_program(py::handle tree) {
            int index = static_cast<int>(out_.programs_.size());
            out_.programs_.emplace_back();
            int saved = current_;
            current_ = index;
            int done = emit({op::done});
            int start = sequence(tree, done);
            current_ = saved;
            if (start < 0) return -1;
            out_.programs_[index].start = start;
            return index;
        }

        int emit(inst in) {
            auto &code = out_.programs_[current_].code;
            if (code.size() >= max_code) return -1;
            code.push_back(in);
            return static_cast<int>(code.size() - 1);
        }

        // One level deeper into the tree, for as long as it is read.
        class nesting {
          public:
            explicit nesting(int &depth) noexcept : depth_(depth) { ++depth_; }
            ~nesting() { --depth_; }
            nesting(const nesting &) = delete;
            nesting &operator=(const nesting &) = delete;

          private:
            int &depth_;
        };

        // An item of the tree that must be a tuple; one of another type
        // leaves the pattern to `re`.
        static py::tuple tuple_of(py::handle item) {
            if (!PyTuple_Check(item.ptr())) throw py::type_error("pattern: a tree item that is no tuple");
            return py::reinterpret_borrow<py::tuple>(item);
        }

        // An integer of the tree: an int, or what an index gives. One out of
        // range leaves the pattern to `re`, and so does an error of the index
        // conversion, unless it is no Exception (an interrupt), which passes;
        // pybind11's casts would swallow that one too.
        static long long integer(py::handle item) {
            py::object index;
            PyObject *v = item.ptr();
            if (!PyLong_Check(v)) {
                index = steal(PyNumber_Index(v));
                v = index.ptr();
            }
            int overflow = 0;
            long long value = PyLong_AsLongLongAndOverflow(v, &overflow);
            if (value == -1 && PyErr_Occurred()) throw_pending();
            if (overflow) throw py::type_error("pattern: a tree integer out of range");
            return value;
        }

        static Py_UCS4 code_point(py::handle item) {
            long long value = integer(item);
            if (value < 0 || value > 0xFFFFFFFF) throw py::type_error("pattern: a character out of range");
            return static_cast<Py_UCS4>(value);
        }

        int sequence(py::handle tree, int next) {
            if (depth_ >= max_nesting) return -1;
            nesting level(depth_);
            py::list items = tree.attr("data");
            for (Py_ssize_t k = py::len(items) - 1; k >= 0 && next >= 0; --k) {
                py::tuple item = items[k];
                next = element(integer(item[0]), item[1], next);
            }
            return next;
        }

        int element(long long code, py::handle arg, int next) {
            if (code == literal_ || code == not_literal_) {
                char_class c;
                Py_UCS4 ch = code_point(arg);
                c.ranges.emplace_back(ch, ch);
                c.negate = code == not_literal_;
                return step(std::move(c), next);
            }
            if (code == in_) return charset(arg, next);
            if (code == branch_) {
                py::list alternatives = tuple_of(arg)[1];
                std::vector<int> starts;
                // Reading an alternative runs the tree's code, which may change the list.
                for (py::object alternative : pysem::list_items(alternatives)) {
                    starts.push_back(sequence(alternative, next));
                    if (starts.back() < 0) return -1;
                }
                if (starts.empty()) return -1; // a branch of nothing, which `re` never makes
                int chain = starts.back();
                for (std::size_t k = starts.size() - 1; k-- > 0 && chain >= 0;) chain = emit({op::fork, false, starts[k], chain});
                return chain;
            }
            if (code == subpattern_) {
                py::tuple group = tuple_of(arg);
                if (integer(group[1]) != 0 || integer(group[2]) != 0) return -1; // (?i:...)
                return sequence(group[3], next);
            }
            if (code == max_repeat_ || code == min_repeat_) return repeat(tuple_of(arg), next);
            if (code == assert_ || code == assert_not_) {
                py::tuple look = tuple_of(arg);
                if (integer(look[0]) != 1) return -1; // lookbehind
                // Bounded, so that every position costs at most that many steps.
                py::tuple width = look[1].attr("getwidth")();
                if (!less(width[1], unbounded_object_)) return -1;
                int body = compile_program(look[1]);
                if (body < 0) return -1;
                return emit({op::look, code == assert_not_, body, next});
            }
            return -1; // anchors, backreferences, any character, atomic groups ...
        }

        int charset(py::handle arg, int next) {
            char_class c;
            for (py::handle entry : arg) {
                py::tuple item = tuple_of(entry);
                long long code = integer(item[0]);
                if (code == negate_) {
                    c.negate = true;
                } else if (code == literal_) {
                    Py_UCS4 ch = code_point(item[1]);
                    c.ranges.emplace_back(ch, ch);
                } else if (code == range_) {
                    py::tuple bounds = item[1];
                    Py_UCS4 low = code_point(bounds[0]);
                    Py_UCS4 high = code_point(bounds[1]);
                    c.ranges.emplace_back(low, high);
                } else if (code == category_ && integer(item[1]) == space_) {
                    c.space = true;
                } else if (code == category_ && integer(item[1]) == not_space_) {
                    c.not_space = true;
                } else {
                    return -1; // digits, words, ...
                }
            }
            return step(std::move(c), next);
        }

        int step(char_class c, int next) {
            inst in{op::step, false, static_cast<int>(out_.classes_.size()), next};
            if (c.ranges.size() == 1 && !c.space && !c.not_space && !c.negate)
                in.simple = true, in.low = c.ranges[0].first, in.high = c.ranges[0].second;
            out_.classes_.push_back(std::move(c));
            return emit(in);
        }

        int repeat(py::tuple arg, int next) {
            long long low = integer(arg[0]), high = integer(arg[1]);
            py::handle body = arg[2];
            // A body that can match empty is where `re` has rules of its own
            // (it stops repeating an empty match), so it is not taken.
            py::tuple width = body.attr("getwidth")();
            if (integer(width[0]) == 0) return -1;
            if (low < 0 || high < low) return -1; // no parser of `re` makes these
            if (low > static_cast<long long>(max_code) || (high != unbounded_ && high - low > static_cast<long long>(max_code)))
                return -1;
            int cur = next;
            if (high == unbounded_) {
                int loop = emit({op::fork, false, 0, next});
                if (loop < 0) return -1;
                int again = sequence(body, loop);
                if (again < 0) return -1;
                out_.programs_[current_].code[loop].a = again;
                cur = loop;
            } else {
                for (long long k = low; k < high && cur >= 0; ++k) {
                    int once = sequence(body, cur);
                    cur = once < 0 ? -1 : emit({op::fork, false, once, next});
                }
            }
            for (long long k = 0; k < low && cur >= 0; ++k) cur = sequence(body, cur);
            return cur;
        }

        native_search &out_;
        py::object unbounded_object_;
        int current_ = -1;
        int depth_ = 0;
        long long literal_ = 0, not_literal_ = 0, in_ = 0, branch_ = 0, subpattern_ = 0, max_repeat_ = 0,
                  min_repeat_ = 0, assert_ = 0, assert_not_ = 0, negate_ = 0, range_ = 0, category_ = 0, space_ = 0,
                  not_space_ = 0, unbounded_ = 0;
    };

    // Every instruction reached from `pc` through forks, and through
    // lookaheads too when `past_looks` (which then count as passed).
    static void reached(const program &pr, int pc, bool past_looks, std::vector<int> &out) {
        std::vector<bool> seen(pr.code.size());
        std::vector<int> stack{pc};
        while (!stack.empty()) {
            int at = stack.back();
            stack.pop_back();
            if (seen[at]) continue;
            seen[at] = true;
            const inst &in = pr.code[at];
            if (in.code == op::fork) stack.push_back(in.b), stack.push_back(in.a);
            else if (in.code == op::look && past_looks) stack.push_back(in.b);
            else out.push_back(at);
        }
    }

    static void close(program &pr) {
        pr.closures.resize(pr.code.size());
        std::vector<int> found;
        for (std::size_t pc = 0; pc < pr.code.size(); ++pc) {
            found.clear();
            reached(pr, static_cast<int>(pc), false, found);
            closure &cl = pr.closures[pc];
            cl.steps = static_cast<int>(pr.reach.size());
            for (int at : found)
                if (pr.code[at].code == op::step) pr.reach.push_back(at);
            cl.looks = static_cast<int>(pr.reach.size());
            for (int at : found)
                if (pr.code[at].code == op::look) pr.reach.push_back(at);
            cl.end = static_cast<int>(pr.reach.size());
            cl.done = std::any_of(found.begin(), found.end(), [&](int at) { return pr.code[at].code == op::done; });
        }
    }

    // Every step reachable from the start without consuming anything
    // (lookaheads taken as passed).
    void find_first(program &pr) const {
        std::vector<int> found;
        reached(pr, pr.start, true, found);
        for (int at : found) {
            const inst &in = pr.code[at];
            if (in.code == op::done) pr.nullable = true;
            if (in.code == op::step) pr.first_classes.push_back(in.a);
        }
        // Set from the ranges and the white space directly; only a negated
        // class is asked character by character.
        pr.first.assign(0x10000 / 64, 0);
        auto set = [&](Py_UCS4 c) { pr.first[c / 64] |= std::uint64_t{1} << (c % 64); };
        bool spaces = false;
        for (int k : pr.first_classes) {
            const char_class &cc = classes_[k];
            if (cc.negate || cc.not_space) {
                for (Py_UCS4 c = 0; c < 0x10000; ++c)
                    if (cc(c)) set(c);
                continue;
            }
            spaces = spaces || cc.space;
            for (auto [low, high] : cc.ranges)
                for (Py_UCS4 c = low; c <= std::min<Py_UCS4>(high, 0xFFFF); ++c) set(c);
        }
        if (spaces)
            for (Py_UCS4 c = 0; c < 0x10000; ++c)
                if (Py_UNICODE_ISSPACE(c)) set(c);
    }

    bool can_start(const program &pr, Py_UCS4 c) const {
        if (c < 0x10000) return (pr.first[c / 64] >> (c % 64)) & 1U;
        for (int k : pr.first_classes)
            if (classes_[k](c)) return true;
        return false;
    }

    // Room for one run: a mark per instruction and two thread lists; on the
    // C stack for the usual small programs.
    class scratch {
      public:
        explicit scratch(std::size_t size) {
            std::size_t need = 3 * size;
            int *base = local_.data();
            if (need > local_.size()) {
                heap_.resize(need);
                base = heap_.data();
            }
            std::fill(base, base + size, 0);
            marks = base;
            cur = base + size;
            next = base + 2 * size;
        }
        int *marks, *cur, *next;

      private:
        std::array<int, 1024> local_;
        std::vector<int> heap_;
    };

    // Whether `pr` matches starting at `from` (anchored) or at any position
    // from there on.
    template <class Char>
    bool run(const program &pr, const Char *t, Py_ssize_t n, Py_ssize_t from, bool anchored) const {
        if (anchored && !pr.nullable && (from >= n || !can_start(pr, t[from]))) return false;
        const closure &start = pr.closures[pr.start];
        if (start.done) return true; // the empty text matches
        // Without a lookahead before its first steps, a start is tried by
        // stepping those steps at once rather than keeping them as threads.
        bool direct = start.looks == start.end;
        scratch s(pr.code.size());
        int *cur = s.cur, *next = s.next;
        int count = 0, generation = 0;
        Py_ssize_t marked_at = -1; // the position the current generation of marks belongs to
        auto at = [&](Py_ssize_t p) {
            if (marked_at != p) ++generation, marked_at = p;
        };
        for (Py_ssize_t p = from;; ++p) {
            bool starting = !anchored || p == from;
            if (!anchored && count == 0 && !pr.nullable) {
                while (p < n && !can_start(pr, t[p])) ++p;
                if (p >= n) return false;
            }
            if (starting && !direct) {
                at(p);
                if (add(pr, s, generation, cur, count, pr.start, t, n, p)) return true;
            }
            if (p >= n) return false;
            if (count == 0 && !(starting && direct)) {
                if (anchored) return false;
                continue;
            }
            at(p + 1);
            int kept = 0;
            Py_UCS4 c = t[p];
            for (int k = 0; k < count; ++k) {
                const inst &in = pr.code[cur[k]];
                if (accepts(in, c) && add(pr, s, generation, next, kept, in.b, t, n, p + 1)) return true;
            }
            if (starting && direct)
                for (int k = start.steps; k < start.looks; ++k) {
                    const inst &in = pr.code[pr.reach[k]];
                    if (accepts(in, c) && add(pr, s, generation, next, kept, in.b, t, n, p + 1)) return true;
                }
            std::swap(cur, next);
            count = kept;
        }
    }

    bool accepts(const inst &in, Py_UCS4 c) const {
        return in.simple ? c - in.low <= in.high - in.low : classes_[in.a](c);
    }

    // Adds the steps that `pc` reaches without consuming at position `p` to
    // `list`; true when that reaches a match.
    template <class Char>
    bool add(const program &pr, scratch &s, int generation, int *list, int &count, int pc, const Char *t, Py_ssize_t n,
             Py_ssize_t p) const {
        const closure &cl = pr.closures[pc];
        if (cl.done) return true;
        const int *reach = pr.reach.data();
        for (int k = cl.steps; k < cl.looks; ++k) {
            int at = reach[k];
            if (s.marks[at] != generation) s.marks[at] = generation, list[count++] = at;
        }
        for (int k = cl.looks; k < cl.end; ++k) {
            int at = reach[k];
            if (s.marks[at] == generation) continue;
            s.marks[at] = generation;
            const inst &in = pr.code[at];
            if (run(programs_[in.a], t, n, p, true) != in.negative && add(pr, s, generation, list, count, in.b, t, n, p))
                return true;
        }
        return false;
    }
};

} // namespace pysem
