// The query planner's business vocabulary: which words of a data question
// name which canonical metric or dimension field, and the rules by which a
// word counts as really occurring. Every field named here is only a
// proposal; the planner keeps it only when the dataset's authorised metadata
// has it.
//
// A question is normalised once and scanned once, in C++, by an automaton
// over every vocabulary word; the interpreter is asked only for Unicode
// normalisation and case folding. The stored regular expressions run natively
// (common/pattern.hpp), and only when a word that every match must contain is
// present.

#include "common/module.hpp"
#include "common/pattern.hpp"
#include "common/pysem.hpp"
#include "ombrith_automaton.hpp"
#include "ombrith_normalize.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using ombrith::Automaton;
using ombrith::Mask;

// ---------------------------------------------------------------------------
// Vocabulary, as the planner has always written it.

struct TermsRow {
    const char *field;
    std::vector<const char *> terms;
};

const std::vector<TermsRow> field_query_terms = {
    {"order_qty", {"销量", "销售量", "销售数量", "销售件数", "单量", "订单量", "出单量", "成交量"}},
    {"price", {"销售额", "销售金额", "销售总额", "营业额", "成交额", "收入", "gmv"}},
    {"advertising_fee", {"广告费", "广告花费", "广告支出", "广告成本", "广告投入", "投放费用"}},
    {"gross_profit", {"毛利", "毛利额", "毛利润"}},
    {"purchase_cost", {"采购成本", "采购费用", "进货成本"}},
    {"clicks_percent", {"ctr"}},
    {"ads_clicks_percent", {"ctr"}},
    {"click_rate", {"ctr"}},
};

const std::vector<TermsRow> dimension_query_terms = {
    {"dept_name", {"事业部", "集团事业部"}},
};

struct ColloquialRow {
    const char *pattern;
    const char *field;
    const char *label;
};

const std::vector<ColloquialRow> colloquial_metric_patterns = {
    {R"(卖了?多少钱|销售了多少钱|卖了多少金额|营收多少钱)", "price", "卖了多少钱"},
    {R"(卖了?多少(?:个|件|台|只|套|双|盒|箱|支|张)|销(?:售|出)了?多少(?:个|件|台|只|套|双|盒|箱|支|张))",
     "order_qty", "卖了多少个"},
    {R"((?:有|出|接|下)?多少(?:个|笔)?单(?![位价号据元])|几单(?![位价号据元])|多少笔订单|多少个订单)", "order_qty",
     "多少单"},
    {R"((?:广告|投放|推广)\s*(?:一共|总共|大概)?\s*(?:花|用|投|烧)了?多少(?:钱|金额)?|(?:广告|投放|推广)\s*(?:花费|支出|投入)了?多少)",
     "advertising_fee", "广告花了多少"},
};

const std::vector<TermsRow> derived_metric_components = {
    {"毛利率", {"gross_profit", "price"}},
    {"广告占比", {"advertising_fee", "price"}},
    {"采购成本占比", {"purchase_cost", "price"}},
};

const std::vector<const char *> broad_sales_metric_fields = {"price", "order_qty", "orders"};

const char *const broad_sales_metric_pattern =
    R"(销售\s*(?:情况|表现|业绩|概况|趋势|走势|怎么样|如何|好不好|好吗|数据(?!集))|卖得?\s*(?:最好|最多|最差|最少|最棒|好不好|怎么样|如何)|卖的\s*最\s*(?:好|多|差|少))";

const char *const sales_person_noun =
    R"((?:销售负责人|销售人员|销售员|销售)(?!额|金额|量|小组|数据|情况|表现|业绩|概况|趋势|走势|怎么样|如何|好不好|好吗|订单))";
const char *const sales_person_prefix = R"((?:按|依|以|各|每(?:个|位)?|所有|全部)\s*)";
const char *const sales_person_suffix = R"(\s*(?:为|是|=|＝|：|:|等于|筛选|过滤|分组|维度))";

const std::vector<const char *> query_action_terms = {"查询", "查看", "分析", "获取", "汇总", "统计", "展示", "列出"};

const std::array<const char *, 3> sales_person_nouns = {"销售负责人", "销售人员", "销售员"};
const char *const broad_sales_label = "销售情况";
const char *const sales_person_field = "team_username";

// Words that matches of the expressions must contain, read off the patterns
// above: each inner list names words of which every match holds at least one,
// so an expression need not run on a text that lacks all words of one list.
using WordsNeeded = std::vector<std::vector<const char *>>;
const std::array<WordsNeeded, 4> colloquial_words = {
    WordsNeeded{{"多少钱", "多少金额"}},
    WordsNeeded{{"多少"}, {"卖", "销"}},
    WordsNeeded{{"多少", "几单"}},
    WordsNeeded{{"多少"}, {"广告", "投放", "推广"}},
};
const WordsNeeded broad_words = {{"销售", "卖"}};
const WordsNeeded sales_person_words = {{"销售"}};

// ---------------------------------------------------------------------------
// Module state, built once.

struct FieldEntry {
    py::str field;
    std::vector<int> ids;        // automaton id of each term
    std::vector<py::str> terms;  // as the table writes them
    std::vector<py::str> normal; // normalised
};

struct DerivedEntry {
    py::str label;
    py::str normal;
    int id;
    std::vector<py::str> components;
};

// One mask per list of needed words.
using Needs = std::vector<Mask>;

// A stored expression: run natively when the native search takes it, else
// through its compiled pattern's search.
struct Expression {
    py::object search;
    std::optional<pysem::native_search> native;
    Needs needs;
};

// The expressions by index: the colloquial patterns in table order, then these.
constexpr int broad_expression = 4, person_expression = 5, expression_count = 6;

struct ColloquialEntry {
    py::str field;
    py::str label;
};

// A question as the detectors read it: normalised, scanned once for every
// vocabulary word, and its expressions searched on first need (a bit per
// expression index in `searched`, and in `matched` when it matches).
struct Question {
    py::str query; // as given
    py::str text;  // normalised
    Mask found = 0;
    std::uint8_t searched = 0, matched = 0;
    bool settled = false; // `text` is its own normal form
};

// Two texts the same; equal texts also have the same, narrowest, kind.
bool same_text(py::handle a, py::handle b) {
    if (a.ptr() == b.ptr()) return true;
    Py_ssize_t n = PyUnicode_GET_LENGTH(a.ptr());
    int kind = PyUnicode_KIND(a.ptr());
    return PyUnicode_GET_LENGTH(b.ptr()) == n && PyUnicode_KIND(b.ptr()) == kind &&
           std::memcmp(PyUnicode_DATA(a.ptr()), PyUnicode_DATA(b.ptr()), static_cast<std::size_t>(n * kind)) == 0;
}

// The planner asks several detectors in turn about one question, so the last
// question is kept (that one only) and the next detector on it starts from
// the work done. Detectors take a copy and hand back what they searched.
class LastQuestion {
  public:
    bool holds(py::handle query) const { return last_.query && same_text(last_.query, query); }
    const Question &get() const { return last_; }
    void set(const Question &q) { last_ = q; }
    // The searches made on a copy, kept while the copy's question is still the last.
    void keep(const Question &q) {
        if (last_.query.ptr() != q.query.ptr()) return;
        last_.searched |= q.searched;
        last_.matched |= q.matched;
    }

  private:
    Question last_;
};

struct State {
    explicit State(py::module_ unicodedata) : normalize(unicodedata) {}

    ombrith::Normalizer normalize;

    Automaton automaton;
    std::vector<FieldEntry> fields;
    std::vector<FieldEntry> dimensions;
    std::vector<DerivedEntry> derived;
    std::vector<ColloquialEntry> colloquial;
    std::vector<Expression> expressions;
    std::vector<py::str> broad_fields;
    py::str broad_label;
    Mask person_words = 0; // the sales-person nouns and field name
    Mask field_terms = 0;
    std::vector<std::pair<int, py::str>> actions; // automaton id, normalised verb
    Py_ssize_t longest_action = 0;
    // By automaton id of a field's term: the normalised name of the first
    // field that lists it (null for other words).
    std::vector<py::object> term_owner;

    LastQuestion last;

    // Module attributes.
    py::dict field_query_terms_attr = pysem::steal_as<py::dict>(PyDict_New());
    py::dict dimension_query_terms_attr = pysem::steal_as<py::dict>(PyDict_New());
    py::dict derived_attr = pysem::steal_as<py::dict>(PyDict_New());
    py::tuple colloquial_attr, broad_fields_attr, actions_attr;
    py::object broad_re_attr, person_re_attr;
    py::str person_noun_attr;
};

State &state();

py::str normalize_text(const State &st, py::handle value) { return st.normalize(value); }

// ---------------------------------------------------------------------------
// Occurrences

bool contains(py::handle text, py::handle part) {
    Py_ssize_t at = PyUnicode_Find(text.ptr(), part.ptr(), 0, PyUnicode_GET_LENGTH(text.ptr()), 1);
    if (at == -2) pysem::throw_pending();
    return at >= 0;
}

// Starts of every occurrence, overlapping ones included; an empty term occurs
// at every index up to the length.
//
// The interpreter's find compares the whole term again at each occurrence, so
// searching afresh after every start costs the term's length per overlapping
// occurrence: a long, periodic term in a long text would take quadratic time.
// Long terms are therefore matched in one pass with their failure function.
constexpr Py_ssize_t short_term = 8;

std::vector<Py_ssize_t> find_all(py::handle term, py::handle text) {
    std::vector<Py_ssize_t> starts;
    Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr()), m = PyUnicode_GET_LENGTH(term.ptr());
    if (m <= short_term) {
        for (Py_ssize_t from = 0;;) {
            Py_ssize_t at = PyUnicode_Find(text.ptr(), term.ptr(), from, n, 1);
            if (at == -2) pysem::throw_pending();
            if (at < 0) break;
            starts.push_back(at);
            from = at + 1;
        }
        return starts;
    }
    if (m > n) return starts;
    pysem::text_view p(term), t(text);
    std::vector<Py_UCS4> word(static_cast<std::size_t>(m));
    for (Py_ssize_t i = 0; i < m; ++i) word[i] = p[i];
    // fail[i]: length of the longest proper border of word[0, i].
    std::vector<Py_ssize_t> fail(static_cast<std::size_t>(m), 0);
    for (Py_ssize_t i = 1, k = 0; i < m; ++i) {
        while (k > 0 && word[i] != word[k]) k = fail[k - 1];
        if (word[i] == word[k]) ++k;
        fail[i] = k;
    }
    for (Py_ssize_t i = 0, k = 0; i < n; ++i) {
        Py_UCS4 c = t[i];
        while (k > 0 && c != word[k]) k = fail[k - 1];
        if (c == word[k]) ++k;
        if (k == m) {
            starts.push_back(i + 1 - m);
            k = fail[k - 1];
        }
    }
    return starts;
}

using Span = std::pair<Py_ssize_t, Py_ssize_t>;

// The caller's protected labels, normalised, with their occurrences in one
// text found on first need.
class ProtectedLabels {
  public:
    explicit ProtectedLabels(py::handle text) : text_(text) {}

    void add(py::str label) {
        if (PyUnicode_GET_LENGTH(label.ptr()) == 0) return; // protects nothing
        // A repeated label protects nothing more, but would cost its
        // occurrences again on every term.
        if (!seen_) seen_ = pysem::steal(PySet_New(nullptr));
        int seen = PySet_Contains(seen_.ptr(), label.ptr());
        if (seen < 0 || (!seen && PySet_Add(seen_.ptr(), label.ptr()) < 0)) pysem::throw_pending();
        if (seen) return;
        labels_.push_back(std::move(label));
        starts_.emplace_back();
    }

    bool empty() const { return labels_.empty(); }
    const std::vector<py::str> &labels() const { return labels_; }

    // Whether some occurrence of `term` (its starts given) lies outside every
    // occurrence of every longer label that contains it.
    bool uncovered(py::handle term, const std::vector<Py_ssize_t> &term_starts) {
        if (term_starts.empty()) return false;
        Py_ssize_t term_len = PyUnicode_GET_LENGTH(term.ptr());
        std::vector<Span> cover;
        for (std::size_t k = 0; k < labels_.size(); ++k) {
            const py::str &label = labels_[k];
            if (same_text(label, term) || !contains(label, term)) continue;
            if (!starts_[k]) starts_[k] = find_all(label, text_);
            Py_ssize_t label_len = PyUnicode_GET_LENGTH(label.ptr());
            for (Py_ssize_t s : *starts_[k]) cover.emplace_back(s, s + label_len);
        }
        if (cover.empty()) return true;
        std::sort(cover.begin(), cover.end());
        // Walking the occurrences in order, `reach` is the furthest end of the
        // covering spans that start at or before the occurrence.
        std::size_t next = 0;
        Py_ssize_t reach = -1;
        for (Py_ssize_t start : term_starts) {
            for (; next < cover.size() && cover[next].first <= start; ++next) reach = std::max(reach, cover[next].second);
            if (reach < start + term_len) return true;
        }
        return false;
    }

  private:
    py::handle text_;
    py::object seen_; // made with the first label
    std::vector<py::str> labels_;
    std::vector<std::optional<std::vector<Py_ssize_t>>> starts_;
};

bool is_ascii_word(Py_UCS4 c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// ---------------------------------------------------------------------------
// The stored expressions

// One white-space character in place of each run of them, for an expression
// that the native search does not take. The expressions match white space
// only through \s*, and every match begins and ends on another character, so
// a text matches exactly when its collapsed form does; one expression, with
// two \s* around an optional word, would otherwise take quadratic time in
// `re` over a long run of spaces.
py::str collapse_space_runs(py::handle text) {
    pysem::text_view t(text);
    Py_ssize_t n = t.size(), i = 1;
    while (i < n && !(ombrith::is_space(t[i]) && ombrith::is_space(t[i - 1]))) ++i;
    if (i >= n) return py::reinterpret_borrow<py::str>(text);
    std::vector<Py_UCS4> out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k)
        if (!(k > 0 && ombrith::is_space(t[k]) && ombrith::is_space(t[k - 1]))) out.push_back(t[k]);
    return pysem::steal_as<py::str>(
        PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), static_cast<Py_ssize_t>(out.size())));
}

// A normalised text made into a question: scanned for every vocabulary word.
Question make_question(const State &st, py::str query, py::str text) {
    Mask found = st.automaton.scan(text.ptr());
    return Question{std::move(query), std::move(text), found};
}

// The question `query` (exact text): the last one asked when it is that
// again, else normalised and scanned here and kept as the last.
Question question(State &st, py::handle query) {
    if (st.last.holds(query)) return st.last.get();
    py::str given = py::reinterpret_borrow<py::str>(query);
    bool settled;
    py::str text = st.normalize(given, settled);
    Question q = make_question(st, given, text);
    q.settled = settled;
    st.last.set(q);
    return q;
}

// Whether expression `k` matches the question's text; it runs only when the
// words its matches need are all present, and once per question.
bool search(const State &st, Question &q, int k) {
    std::uint8_t bit = static_cast<std::uint8_t>(1U << k);
    if (!(q.searched & bit)) {
        const Expression &expression = st.expressions[k];
        bool found = std::all_of(expression.needs.begin(), expression.needs.end(), [&](Mask words) { return q.found & words; });
        if (found && expression.native) {
            found = (*expression.native)(q.text);
        } else if (found) {
            py::str collapsed = collapse_space_runs(q.text);
            found = !pysem::steal(PyObject_CallOneArg(expression.search.ptr(), collapsed.ptr())).is_none();
        }
        q.searched |= bit;
        if (found) q.matched |= bit;
    }
    return q.matched & bit;
}

void record(py::dict &matched, py::handle field, py::handle wording) {
    if (!PyDict_SetDefault(matched.ptr(), field.ptr(), wording.ptr())) pysem::throw_pending();
}

void colloquial_into(const State &st, Question &q, py::dict &matched) {
    for (std::size_t k = 0; k < st.colloquial.size(); ++k)
        if (search(st, q, static_cast<int>(k))) record(matched, st.colloquial[k].field, st.colloquial[k].label);
}

// ---------------------------------------------------------------------------
// Operations

// The entry points refuse an argument of the wrong kind by setting the error
// and returning (pysem::raised), without a C++ exception: a planner that
// probes with other values pays little for a refusal.

py::str normalize(py::handle value) { return normalize_text(state(), value); }

py::object term_spans(py::handle term, py::handle text) {
    if (!pysem::check_exact_str(term, "term") || !pysem::check_exact_str(text, "text")) return pysem::raised();
    Py_ssize_t len = PyUnicode_GET_LENGTH(term.ptr());
    py::list spans;
    for (Py_ssize_t start : find_all(term, text)) spans.append(py::make_tuple(start, start + len));
    return spans;
}

py::object is_ascii_word_char(py::handle ch) {
    if (!pysem::check_exact_str(ch, "char")) return pysem::raised();
    pysem::text_view t(ch);
    bool word = !t.empty();
    for (Py_ssize_t i = 0; word && i < t.size(); ++i) word = is_ascii_word(t[i]);
    return py::bool_(word);
}

bool standalone_occurrence(py::handle term, py::handle query) {
    State &st = state();
    Question q = question(st, query);
    const py::str &text = q.text;
    py::str needle = normalize_text(st, term);
    pysem::text_view n(needle), t(text);
    if (n.empty()) return false;

    // Where the action verbs of the text stand.
    std::vector<Span> actions;
    for (const auto &[id, verb] : st.actions)
        if (q.found >> id & 1U)
            for (Py_ssize_t s : find_all(verb, text)) actions.emplace_back(s, s + st.automaton.length(id));
    std::sort(actions.begin(), actions.end());

    bool word_start = is_ascii_word(n[0]), word_end = is_ascii_word(n[n.size() - 1]);
    Py_ssize_t length = n.size();
    for (Py_ssize_t start : find_all(needle, text)) {
        Py_ssize_t end = start + length;
        if (word_start && start > 0 && is_ascii_word(t[start - 1])) continue;
        if (word_end && end < t.size() && is_ascii_word(t[end])) continue;
        // Starting inside an action verb and running to its end or beyond.
        auto it = std::lower_bound(actions.begin(), actions.end(), Span{start - st.longest_action + 1, 0});
        bool inside_action = false;
        for (; it != actions.end() && it->first < start; ++it)
            if (start < it->second && it->second <= end) inside_action = true;
        if (!inside_action) return true;
    }
    return false;
}

py::object has_standalone_term_occurrence(py::handle term, py::handle query) {
    if (!pysem::check_exact_str(term, "term") || !pysem::check_exact_str(query, "query")) return pysem::raised();
    return py::bool_(standalone_occurrence(term, query));
}

bool uncovered_occurrence(py::handle term, py::handle text, py::handle protected_terms) {
    std::vector<Py_ssize_t> starts = find_all(term, text);
    if (starts.empty()) return false;
    const State &st = state();
    ProtectedLabels labels(text);
    py::object items = pysem::steal(PyObject_GetIter(protected_terms.ptr()));
    while (PyObject *item = PyIter_Next(items.ptr())) {
        py::object owned = pysem::steal(item);
        labels.add(normalize_text(st, owned));
    }
    if (PyErr_Occurred()) pysem::throw_pending();
    return labels.uncovered(term, starts);
}

py::object has_uncovered_occurrence(py::handle term, py::handle text, py::handle protected_terms) {
    if (!pysem::check_exact_str(term, "term") || !pysem::check_exact_str(text, "text")) return pysem::raised();
    return py::bool_(uncovered_occurrence(term, text, protected_terms));
}

py::object requested_canonical_fields(py::handle query, py::handle protected_terms) {
    if (!pysem::check_exact_str(query, "query")) return pysem::raised();
    State &st = state();
    Question q = question(st, query);
    const py::str &text = q.text;
    py::tuple given = pysem::steal_as<py::tuple>(PySequence_Tuple(protected_terms.ptr()));
    ProtectedLabels labels(text);
    for (py::handle item : given) labels.add(normalize_text(st, item));

    py::dict matched;

    for (const FieldEntry &entry : st.fields) {
        for (std::size_t k = 0; k < entry.ids.size(); ++k) {
            int id = entry.ids[k];
            if (!(q.found >> id & 1U)) continue;
            if (labels.empty() || labels.uncovered(entry.normal[k], find_all(entry.normal[k], text))) {
                record(matched, entry.field, entry.terms[k]);
                break;
            }
        }
    }

    for (const DerivedEntry &entry : st.derived) {
        if (!(q.found >> entry.id & 1U)) continue;
        const auto &all = labels.labels();
        if (std::any_of(all.begin(), all.end(), [&](const py::str &label) { return contains(label, entry.normal); }))
            continue;
        for (const py::str &component : entry.components) record(matched, component, entry.label);
    }

    // The broad-intent and colloquial detectors normalise the text once more,
    // which almost always leaves it as it is.
    py::str again = q.settled ? text : normalize_text(st, text);
    bool same = same_text(again, text);
    Question second = same ? q : make_question(st, again, again);
    if (search(st, second, broad_expression))
        for (const py::str &field : st.broad_fields) record(matched, field, st.broad_label);
    colloquial_into(st, second, matched);
    if (same) st.last.keep(second);
    return matched;
}

py::object colloquial_metric_fields(py::handle query) {
    if (!pysem::check_exact_str(query, "query")) return pysem::raised();
    State &st = state();
    Question q = question(st, query);
    py::dict matched;
    colloquial_into(st, q, matched);
    st.last.keep(q);
    return matched;
}

py::object has_broad_sales_metric_intent(py::handle query) {
    if (!pysem::check_exact_str(query, "query")) return pysem::raised();
    State &st = state();
    Question q = question(st, query);
    bool broad = search(st, q, broad_expression);
    st.last.keep(q);
    return py::bool_(broad);
}

bool sales_person_named(State &st, Question &q) {
    if (q.found & st.person_words) return true;
    return search(st, q, person_expression);
}

py::object sales_person_dimension_requested(py::handle query) {
    if (!pysem::check_exact_str(query, "query")) return pysem::raised();
    State &st = state();
    Question q = question(st, query);
    bool named = sales_person_named(st, q);
    st.last.keep(q);
    return py::bool_(named);
}

py::object dimension_alias_fields(py::handle query) {
    if (!pysem::check_exact_str(query, "query")) return pysem::raised();
    State &st = state();
    Question q = question(st, query);
    py::dict matched;
    for (const FieldEntry &entry : st.dimensions) {
        for (std::size_t k = 0; k < entry.ids.size(); ++k) {
            if (q.found >> entry.ids[k] & 1U) {
                record(matched, entry.field, entry.terms[k]);
                break;
            }
        }
    }
    return matched;
}

py::object metric_term_is_covered(py::handle requested_term, py::handle card_terms) {
    if (!pysem::check_exact_str(requested_term, "requested_term")) return pysem::raised();
    const State &st = state();
    // A list or tuple is read by index, up to its length at each step as its
    // iterator would; anything else through its iterator.
    bool sequence = PyList_CheckExact(card_terms.ptr()) || PyTuple_CheckExact(card_terms.ptr());
    py::object items = sequence ? py::object() : pysem::steal(PyObject_GetIter(card_terms.ptr()));
    py::str requested = normalize_text(st, requested_term);
    // Only the first field that lists the word decides. The word is a term
    // when it holds a term of its own length.
    PyObject *owner = nullptr;
    Py_ssize_t length = PyUnicode_GET_LENGTH(requested.ptr());
    for (Mask found = st.automaton.scan(requested.ptr()); found; found &= found - 1) {
        int id = std::countr_zero(found);
        if (static_cast<std::size_t>(id) < st.term_owner.size() && st.term_owner[id] && st.automaton.length(id) == length)
            owner = st.term_owner[id].ptr();
    }
    bool covered = false;
    auto take = [&](py::handle item) {
        py::str term = normalize_text(st, item);
        if (PyUnicode_GET_LENGTH(term.ptr()) == 0) return;
        covered = same_text(term, requested) || (owner && same_text(term, owner));
    };
    // Every item is read, as building the card's set of terms would.
    if (sequence) {
        for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(card_terms.ptr()); ++k) {
            py::object item = py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(card_terms.ptr(), k));
            if (!covered) take(item);
        }
        return py::bool_(covered);
    }
    while (PyObject *item = PyIter_Next(items.ptr())) {
        py::object owned = pysem::steal(item);
        if (!covered) take(owned);
    }
    if (PyErr_Occurred()) pysem::throw_pending();
    return py::bool_(covered);
}

// ---------------------------------------------------------------------------
// Building the state

std::u32string code_points(py::handle s) {
    pysem::text_view t(s);
    std::u32string out;
    for (Py_ssize_t i = 0; i < t.size(); ++i) out.push_back(t[i]);
    return out;
}

State build_state() {
    py::module_ unicodedata = py::module_::import("unicodedata");
    State st(unicodedata);
    // re.compile as found at load, called through pysem::call: a patched one
    // raises its own error.
    py::object re_compile = py::module_::import("re").attr("compile");
    auto compile = [&](py::handle pattern) { return pysem::call(re_compile, pattern); };
    Automaton &ac = st.automaton;
    auto word = [&](py::handle text) { return ac.add(code_points(normalize_text(st, text))); };

    // FIELD_QUERY_TERMS: fields that share a wording share one tuple.
    std::vector<std::pair<std::vector<const char *>, py::tuple>> shared;
    for (const TermsRow &row : field_query_terms) {
        FieldEntry entry{pysem::interned(row.field), {}, {}, {}};
        py::object terms; // null until found or made
        for (auto &[words, tuple] : shared)
            if (words == row.terms) terms = tuple;
        if (!terms) {
            py::list items = pysem::steal_as<py::list>(PyList_New(0));
            for (const char *t : row.terms) items.append(pysem::interned(t));
            terms = py::tuple(items);
            shared.emplace_back(row.terms, py::reinterpret_borrow<py::tuple>(terms));
        }
        py::str field_normal = normalize_text(st, entry.field);
        for (py::handle term : terms) {
            entry.terms.push_back(py::reinterpret_borrow<py::str>(term));
            entry.normal.push_back(normalize_text(st, term));
            int id = ac.add(code_points(entry.normal.back()));
            entry.ids.push_back(id);
            st.field_terms |= Mask{1} << id;
            if (st.term_owner.size() <= static_cast<std::size_t>(id)) st.term_owner.resize(id + 1);
            if (!st.term_owner[id]) st.term_owner[id] = field_normal;
        }
        st.field_query_terms_attr[entry.field] = terms;
        st.fields.push_back(std::move(entry));
    }

    for (const TermsRow &row : dimension_query_terms) {
        FieldEntry entry{pysem::interned(row.field), {}, {}, {}};
        py::list items = pysem::steal_as<py::list>(PyList_New(0));
        for (const char *t : row.terms) {
            items.append(pysem::interned(t));
            entry.terms.push_back(pysem::interned(t));
            entry.normal.push_back(normalize_text(st, entry.terms.back()));
            entry.ids.push_back(word(entry.terms.back()));
        }
        st.dimension_query_terms_attr[entry.field] = py::tuple(items);
        st.dimensions.push_back(std::move(entry));
    }

    auto needs = [&](const WordsNeeded &lists) {
        Needs masks;
        for (const auto &words : lists) {
            Mask mask = 0;
            for (const char *w : words) mask |= Mask{1} << word(py::str(w));
            masks.push_back(mask);
        }
        return masks;
    };
    auto expression = [&](py::handle compiled, const WordsNeeded &words) {
        return Expression{compiled.attr("search"), pysem::native_search::compile(compiled), needs(words)};
    };
    if (colloquial_metric_patterns.size() != broad_expression) throw std::logic_error("colloquial expressions miscounted");
    st.expressions.resize(expression_count);
    py::list colloquial = pysem::steal_as<py::list>(PyList_New(0));
    for (std::size_t k = 0; k < colloquial_metric_patterns.size(); ++k) {
        const ColloquialRow &row = colloquial_metric_patterns[k];
        py::str pattern(row.pattern);
        st.expressions[k] = expression(compile(pattern), colloquial_words[k]);
        ColloquialEntry entry{pysem::interned(row.field), pysem::interned(row.label)};
        colloquial.append(pysem::steal(PyTuple_Pack(3, pattern.ptr(), entry.field.ptr(), entry.label.ptr())));
        st.colloquial.push_back(std::move(entry));
    }
    st.colloquial_attr = py::tuple(colloquial);

    for (const TermsRow &row : derived_metric_components) {
        DerivedEntry entry{pysem::interned(row.field), {}, 0, {}};
        entry.normal = normalize_text(st, entry.label);
        entry.id = ac.add(code_points(entry.normal));
        py::list items = pysem::steal_as<py::list>(PyList_New(0));
        for (const char *component : row.terms) {
            entry.components.push_back(pysem::interned(component));
            items.append(entry.components.back());
        }
        st.derived_attr[entry.label] = py::tuple(items);
        st.derived.push_back(std::move(entry));
    }

    py::list broad = pysem::steal_as<py::list>(PyList_New(0));
    for (const char *field : broad_sales_metric_fields) {
        st.broad_fields.push_back(pysem::interned(field));
        broad.append(st.broad_fields.back());
    }
    st.broad_fields_attr = py::tuple(broad);
    st.broad_label = pysem::interned(broad_sales_label);
    st.broad_re_attr = compile(py::str(broad_sales_metric_pattern));
    st.expressions[broad_expression] = expression(st.broad_re_attr, broad_words);

    st.person_noun_attr = py::str(sales_person_noun);
    std::string context = std::string(sales_person_prefix) + sales_person_noun + "|" + sales_person_noun + sales_person_suffix;
    st.person_re_attr = compile(py::str(context));
    st.expressions[person_expression] = expression(st.person_re_attr, sales_person_words);

    py::list actions = pysem::steal_as<py::list>(PyList_New(0));
    for (const char *verb : query_action_terms) {
        py::str text = pysem::interned(verb);
        actions.append(text);
        int id = word(text);
        st.actions.emplace_back(id, normalize_text(st, text));
        st.longest_action = std::max(st.longest_action, ac.length(id));
    }
    st.actions_attr = py::tuple(actions);

    for (const char *noun : sales_person_nouns) st.person_words |= Mask{1} << word(py::str(noun));
    st.person_words |= Mask{1} << word(py::str(sales_person_field));

    ac.build();
    return st;
}

// The state, built at load and kept for the interpreter's life (never
// destroyed: it holds Python objects).
PYBIND11_CONSTINIT pysem::first_built<State> kept_state;

State &state() { return *kept_state; }

// The build runs Python code (re.compile and unicodedata as found at load, a
// collection's finalizers), which may load this module afresh on the same
// thread or let another thread load it. Each such load builds its own state
// and the first one finished is kept, so that no load waits on another and a
// loop ends in RecursionError.
void load_state() { kept_state.get(build_state, " while loading the vocabulary"); }

// ---------------------------------------------------------------------------
// Registration

// The tables and normalize.
void register_vocabulary(py::module_ &m) {
    load_state();
    const State &st = state();
    m.attr("FIELD_QUERY_TERMS") = st.field_query_terms_attr;
    m.attr("DIMENSION_QUERY_TERMS") = st.dimension_query_terms_attr;
    m.attr("COLLOQUIAL_METRIC_PATTERNS") = st.colloquial_attr;
    m.attr("DERIVED_METRIC_COMPONENTS") = st.derived_attr;
    m.attr("BROAD_SALES_METRIC_FIELDS") = st.broad_fields_attr;
    m.attr("_BROAD_SALES_METRIC_RE") = st.broad_re_attr;
    m.attr("_SALES_PERSON_NOUN") = st.person_noun_attr;
    m.attr("_SALES_PERSON_CONTEXT_RE") = st.person_re_attr;
    m.attr("_QUERY_ACTION_TERMS") = st.actions_attr;
    pysem::define(m, {pysem::function<&normalize>("normalize(value)")});
}

void register_occurrence_rules(py::module_ &m) {
    using pysem::function;
    pysem::define(m, {
        function<&term_spans>("_term_spans(term, text)"),
        function<&is_ascii_word_char>("_is_ascii_word_char(char)"),
        function<&has_standalone_term_occurrence>("has_standalone_term_occurrence(term, query)"),
        function<&has_uncovered_occurrence>("_has_uncovered_occurrence(term, text, protected_terms)"),
    });
}

void register_field_detectors(py::module_ &m) {
    using pysem::function;
    pysem::define(m, {
        function<&requested_canonical_fields>("requested_canonical_fields(query, *, protected_terms=())"),
        function<&colloquial_metric_fields>("colloquial_metric_fields(query)"),
        function<&has_broad_sales_metric_intent>("has_broad_sales_metric_intent(query)"),
        function<&sales_person_dimension_requested>("sales_person_dimension_requested(query)"),
        function<&dimension_alias_fields>("dimension_alias_fields(query)"),
        function<&metric_term_is_covered>("metric_term_is_covered(requested_term, card_terms)"),
    });
}

} // namespace

PELORIN_MODULE(ombrith, m) {
    m.doc() = "The query planner's business vocabulary and the rules by which a question's words select fields.";
    pysem::bind_imports(m, {{"re", nullptr}, {"unicodedata", nullptr}, {"collections.abc", "Iterable"}});
    register_vocabulary(m);
    register_occurrence_rules(m);
    register_field_detectors(m);
}
