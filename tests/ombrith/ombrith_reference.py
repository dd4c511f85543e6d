"""A plain-Python model of the matching rules, written the slow and obvious
way: every term searched on its own, every expression run on the text as it
is. The native module must agree with it on any question."""

import re
import unicodedata


def normalize(value):
    if not isinstance(value, str):
        return ""
    return unicodedata.normalize("NFKC", value).casefold().strip()


def term_spans(term, text):
    spans, start = [], text.find(term)
    while start != -1:
        spans.append((start, start + len(term)))
        start = text.find(term, start + 1)
    return spans


def is_word(char):
    return char.isascii() and char.isalnum()


def has_standalone(m, term, query):
    text, needle = normalize(query), normalize(term)
    if not needle:
        return False
    actions = [s for verb in m._QUERY_ACTION_TERMS for s in term_spans(normalize(verb), text)]
    for start, end in term_spans(needle, text):
        if is_word(needle[0]) and start > 0 and is_word(text[start - 1]):
            continue
        if is_word(needle[-1]) and end < len(text) and is_word(text[end]):
            continue
        if any(a < start < b and b <= end for a, b in actions):
            continue
        return True
    return False


def has_uncovered(term, text, protected_terms):
    spans = term_spans(term, text)
    if not spans:
        return False
    covering = []
    for value in protected_terms:
        label = normalize(value)
        if not label or label == term or term not in label:
            continue
        covering += term_spans(label, text)
    return any(not any(s <= a and b <= e for s, e in covering) for a, b in spans)


def colloquial(m, query):
    text, matched = normalize(query), {}
    for pattern, field, label in m.COLLOQUIAL_METRIC_PATTERNS:
        if re.search(pattern, text):
            matched.setdefault(field, label)
    return matched


def broad(m, query):
    return re.search(m._BROAD_SALES_METRIC_RE.pattern, normalize(query)) is not None


def requested(m, query, protected_terms=()):
    text, matched, protected = normalize(query), {}, tuple(protected_terms)
    for field, terms in m.FIELD_QUERY_TERMS.items():
        for term in terms:
            if has_uncovered(normalize(term), text, protected):
                matched.setdefault(field, term)
                break
    for label, components in m.DERIVED_METRIC_COMPONENTS.items():
        normalized = normalize(label)
        if normalized not in text or any(normalized in normalize(p) for p in protected):
            continue
        for field in components:
            matched.setdefault(field, label)
    if broad(m, text):
        for field in m.BROAD_SALES_METRIC_FIELDS:
            matched.setdefault(field, "销售情况")
    for field, label in colloquial(m, text).items():
        matched.setdefault(field, label)
    return matched


def sales_person(m, query):
    text = normalize(query)
    if "team_username" in text or any(n in text for n in ("销售负责人", "销售人员", "销售员")):
        return True
    return re.search(m._SALES_PERSON_CONTEXT_RE.pattern, text) is not None


def dimensions(m, query):
    text, matched = normalize(query), {}
    for field, terms in m.DIMENSION_QUERY_TERMS.items():
        for term in terms:
            if normalize(term) in text:
                matched.setdefault(field, term)
                break
    return matched


def covered(m, requested_term, card_terms):
    terms = {normalize(t) for t in card_terms} - {""}
    wanted = normalize(requested_term)
    if wanted in terms:
        return True
    for field, field_terms in m.FIELD_QUERY_TERMS.items():
        if wanted in {normalize(t) for t in field_terms}:
            return normalize(field) in terms
    return False
