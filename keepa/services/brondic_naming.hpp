// Job ids: "Keepa", the scenario label, the site, an optional file-safe target
// from the request parameters, the local date and time and six random hex
// digits, joined by hyphens.
#pragma once

#include "keepa/services/brondic_state.hpp"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brondic::naming {

inline py::object first(py::handle value) {
    if (PyList_Check(value.ptr()) && PyList_GET_SIZE(value.ptr()) > 0)
        return py::reinterpret_borrow<py::object>(PyList_GET_ITEM(value.ptr(), 0));
    return py::reinterpret_borrow<py::object>(value);
}

// What a naming pattern gave, read as text by the rules below. The patterns
// are re's own unless re.compile was patched before the module was imported.
inline py::handle pattern_text(py::handle given) {
    if (!PyUnicode_Check(given.ptr()))
        throw py::type_error(std::string("a job-naming pattern gave ") + pysem::type_name(given) + ", not str");
    return given;
}

// Pieces are ASCII letters and digits only (the split removes everything
// else), so the case changes are ASCII ones.
inline py::str camel_case(py::handle value_arg) {
    py::str value = pysem::exact_str(value_arg, "value");
    py::object pieces = pysem::call_method(state().non_alnum, PYSEM_LIT("split"), value);
    std::string out;
    for_each_item(pieces, [&](py::handle piece) {
        std::string_view text = ascii_view(pattern_text(piece));
        if (text.empty()) return;
        out.push_back(static_cast<char>(text[0] >= 'a' && text[0] <= 'z' ? text[0] - 32 : text[0]));
        for (char c : text.substr(1)) out.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
    });
    return py::str(out);
}

inline py::str scenario_label(py::handle scenario_arg) {
    py::str scenario = pysem::exact_str(scenario_arg, "scenario");
    static constexpr std::pair<std::string_view, const char *> labels[] = {
        {"product", "Product"},
        {"product-search", "ProductSearch"},
        {"product-finder", "ProductFinder"},
        {"category-search", "CategorySearch"},
        {"category-lookup", "CategoryLookup"},
        {"seller", "Seller"},
        {"top-seller", "TopSeller"},
        {"bestsellers", "BestSellers"},
        {"deals", "Deals"},
        {"lightning-deals", "LightningDeals"},
    };
    // Table names are ASCII: ascii_view is empty for any other text.
    std::string_view name = ascii_view(scenario);
    for (const auto &[known, label] : labels)
        if (name == known) return py::str(label);
    return camel_case(scenario);
}

inline py::str sanitize_filename_part(py::handle value) {
    if (value.is_none()) return PYSEM_LIT("");
    py::str text = pysem::strip(pysem::text_form(value));
    if (PyUnicode_GET_LENGTH(text.ptr()) == 0) return PYSEM_LIT("");
    py::object part = pysem::steal(PyUnicode_Replace(text.ptr(), PYSEM_LIT(" ").ptr(), PYSEM_LIT("-").ptr(), -1));
    part = pysem::call_method(state().non_filename, PYSEM_LIT("sub"), PYSEM_LIT("-"), part);
    part = pysem::call_method(state().hyphen_runs, PYSEM_LIT("sub"), PYSEM_LIT("-"), pattern_text(part));
    // Only ASCII letters, digits and hyphens are left.
    std::string_view rest = ascii_view(pattern_text(part));
    while (!rest.empty() && rest.front() == '-') rest.remove_prefix(1);
    while (!rest.empty() && rest.back() == '-') rest.remove_suffix(1);
    return py::str(std::string(rest.substr(0, 64)));
}

// A candidate of a target: a parameter, or the first element of one.
struct Candidate {
    const char *key;
    bool first_element;
};

inline py::str build_target_label(py::handle scenario_arg, py::handle params_arg) {
    py::str scenario = pysem::exact_str(scenario_arg, "scenario");
    pysem::optional_exact_dict(params_arg, "params");
    if (params_arg.is_none()) return PYSEM_LIT("");

    static const std::vector<Candidate> product = {{"asin", false}, {"asins", true}, {"code", false}, {"codes", true}};
    static const std::vector<Candidate> search = {{"term", false}, {"keyword", false}};
    static const std::vector<Candidate> category = {{"category", false}, {"productGroup", false}, {"product_group", false}};
    static const std::vector<Candidate> seller = {{"seller", false}, {"sellers", true}};
    static const std::vector<Candidate> lightning = {{"asin", false}};
    static constexpr std::pair<std::string_view, const std::vector<Candidate> *> sources[] = {
        {"product", &product},          {"product-search", &search}, {"category-search", &search},
        {"category-lookup", &category}, {"bestsellers", &category},  {"seller", &seller},
        {"lightning-deals", &lightning},
    };

    const std::vector<Candidate> *candidates = nullptr;
    std::string_view name = ascii_view(scenario);
    for (const auto &[known, list] : sources)
        if (name == known) candidates = list;
    if (!candidates) return PYSEM_LIT("");

    // The first truthy candidate; the last one whatever it holds.
    py::object chosen = py::none();
    for (const Candidate &candidate : *candidates) {
        chosen = get(params_arg, pysem::interned(candidate.key));
        if (candidate.first_element) chosen = first(chosen);
        if (pysem::truthy(chosen)) break;
    }
    return sanitize_filename_part(chosen);
}

inline py::str build_job_id(py::handle request, py::handle site_arg) {
    py::str site = pysem::exact_str(site_arg, "site");
    py::object now = pysem::call_method(ns["datetime"], PYSEM_LIT("now"));
    py::object stamp = pysem::call_method(now, PYSEM_LIT("strftime"), PYSEM_LIT("%Y%m%d-%H%M%S"));
    // uuid4().hex[:6], of whatever the patched uuid4 gives (no text form).
    py::object hex_digits = pysem::call(ns["uuid4"]).attr(PYSEM_LIT("hex"));
    py::object suffix = pysem::steal(PySequence_GetSlice(hex_digits.ptr(), 0, 6));

    py::list parts;
    append(parts, PYSEM_LIT("Keepa"));
    append(parts, scenario_label(request.attr(PYSEM_LIT("scenario"))));
    append(parts, site);
    // Read in the order of the call's arguments, which C++ leaves open.
    py::object scenario = request.attr(PYSEM_LIT("scenario"));
    py::object params = request.attr(PYSEM_LIT("params"));
    py::str target = build_target_label(scenario, params);
    if (PyUnicode_GET_LENGTH(target.ptr()) > 0) append(parts, target);
    append(parts, stamp);
    append(parts, suffix);
    return pysem::join(PYSEM_LIT("-"), parts);
}

} // namespace brondic::naming
