// Keepa scenario manager: runs one Keepa API scenario end to end, from key
// choice and token quota to the stored job files, the formatted export, the
// optional upload and the hand-over to the collection storage.
//
// The module body mirrors the Python module it replaces: host names are bound
// as module attributes at load and looked up there when called, the steps of
// a run call the module's helpers through the module namespace, and methods
// call each other through the instance, so that patches apply.
#include "common/aio.hpp"
#include "common/module.hpp"
#include "common/pysem.hpp"

#include "keepa/services/brondic_json.hpp"
#include "keepa/services/brondic_naming.hpp"
#include "keepa/services/brondic_rows.hpp"
#include "keepa/services/brondic_state.hpp"

#include <array>
#include <cmath>
#include <stdexcept>
#include <tuple>
#include <utility>

namespace brondic {

constexpr const char *QUOTA_SHORT_MESSAGE = "Keepa 当前可用额度不足，请稍后重试；如果持续卡住，请联系运营人员处理。";
constexpr const char *TOKEN_STATUS_FAILED_MESSAGE = "读取 Keepa 可用额度状态失败，继续执行主请求";
constexpr const char *QUOTA_WAIT_MESSAGE = "等待 Keepa 可用额度恢复后继续请求";
constexpr const char *UPLOAD_FAILED_MESSAGE = "导出文件上传失败，已保留服务端本地文件";
constexpr const char *COLLECTION_FAILED_MESSAGE = "Keepa 数据沉淀排队失败，采集结果已保留";

// One trace line through the module logger; logging fills in the arguments
// (objects, or attribute lookups made here). As `logger.info(format, ...)`
// runs: the method first, then the arguments from left to right, which only
// a braced list fixes.
template <class... Args> inline void trace(const char *format, const Args &...args) {
    py::object info = pysem::getattr(ns["logger"], PYSEM_LIT("info"));
    std::array<py::object, sizeof...(Args)> values{py::object(args)...};
    std::apply([&](const auto &...value) { pysem::call(info, pysem::interned(format), value...); }, values);
}

// A caller's job id becomes one path part under the output directory, so it
// must name exactly one directory there: not empty, not "." or "..", and
// without a separator or NUL (an absolute path starts with a separator).
inline py::str checked_job_id(py::handle value) {
    py::str job_id = pysem::exact_str(value, "job_id");
    pysem::text_view t(job_id);
    bool unsafe = t.empty() || (t.size() == 1 && t[0] == '.') || (t.size() == 2 && t[0] == '.' && t[1] == '.');
    for (Py_ssize_t i = 0; !unsafe && i < t.size(); ++i) unsafe = t[i] == '/' || t[i] == '\\' || t[i] == 0;
    if (unsafe)
        pysem::raise_instance(pysem::call(ns["KeepaConfigError"], pysem::concat(
            {PYSEM_LIT("任务 ID 只能是单个目录名（不能为空、不能是 . 或 ..，也不能包含 /、\\ 或空字符）："), job_id})));
    return job_id;
}

// ---------------------------------------------------------------------------
// Key rotation and token quota

inline bool provider_supports_rotation(py::handle provider) {
    return PyCallable_Check(getattr_or_none(provider, PYSEM_LIT("report_failure")).ptr()) != 0;
}

inline py::object get_provider_credential(py::handle provider, py::handle attempted_arg) {
    py::set attempted = pysem::exact_set(attempted_arg, "attempted_account_ids");
    py::object get_default = provider.attr(PYSEM_LIT("get_default"));
    if (provider_supports_rotation(provider))
        return pysem::call(get_default, pysem::keyword{"exclude_account_ids", attempted});
    return pysem::call(get_default);
}

inline void report_provider_success(py::handle provider, py::handle credential, py::handle quota) {
    pysem::exact_dict(quota, "quota");
    py::object report = getattr_or_none(provider, PYSEM_LIT("report_success"));
    if (PyCallable_Check(report.ptr())) pysem::call(report, credential, quota);
}

inline void report_provider_failure(py::handle provider, py::handle credential, py::handle exc, py::handle quota) {
    error_arg(exc, "exc");
    pysem::optional_exact_dict(quota, "quota");
    py::object report = getattr_or_none(provider, PYSEM_LIT("report_failure"));
    if (PyCallable_Check(report.ptr())) pysem::call(report, credential, exc, pysem::keyword{"quota", quota});
}

inline bool can_rotate_credential(py::handle provider, py::handle credential, py::handle exc) {
    if (!provider_supports_rotation(provider)) return false;
    if (credential.attr(PYSEM_LIT("account_id")).is_none()) return false;
    py::object code = exc.attr(PYSEM_LIT("code"));
    for (const char *rotatable : {"KEEPA_AUTH_ERROR", "KEEPA_FORBIDDEN", "KEEPA_QUOTA_INSUFFICIENT", "KEEPA_RATE_LIMITED"})
        if (pysem::equal(code, pysem::interned(rotatable))) return true;
    return false;
}

inline void append_token_status_warning(py::handle warnings_arg, py::handle exc) {
    py::list warnings = pysem::exact_list(warnings_arg, "warnings");
    append(warnings, pysem::make_dict({{PYSEM_LIT("stage"), PYSEM_LIT("token_status")},
                                       {PYSEM_LIT("message"), PYSEM_LIT(TOKEN_STATUS_FAILED_MESSAGE)},
                                       {PYSEM_LIT("error"), pysem::call_method(exc, PYSEM_LIT("to_dict"))}}));
}

// The result of int(figure) or float(figure); None when the figure is no
// number of that kind (a type or value error) or none that can be counted
// (an infinite or too large figure from a malformed answer). Other failures
// pass.
inline py::object figure_or_none(PyObject *converted) {
    if (converted) return py::reinterpret_steal<py::object>(converted);
    if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
        !PyErr_ExceptionMatches(PyExc_OverflowError))
        pysem::throw_pending();
    PyErr_Clear();
    return py::none();
}

inline py::object build_quota_warning(py::handle before_quota_arg, py::handle estimated_arg, py::handle reserve_arg) {
    py::dict before_quota = pysem::exact_dict(before_quota_arg, "before_quota");
    py::object estimated = optional_int(estimated_arg, "estimated_tokens");
    py::int_ reserve = pysem::int_arg(reserve_arg, "reserve_tokens");

    py::object tokens_left = get(before_quota, PYSEM_LIT("tokensLeft"));
    if (estimated.is_none() || tokens_left.is_none()) return py::none();
    py::object tokens = figure_or_none(PyNumber_Long(tokens_left.ptr()));
    if (tokens.is_none()) return py::none();

    py::int_ zero(0);
    py::object required = (estimated < zero ? zero : estimated) + (reserve < zero ? zero : py::object(reserve));
    if (tokens >= required) return py::none();

    return pysem::make_dict({{PYSEM_LIT("stage"), PYSEM_LIT("quota_precheck")},
                             {PYSEM_LIT("message"), PYSEM_LIT(QUOTA_SHORT_MESSAGE)},
                             {PYSEM_LIT("tokens_left"), tokens},
                             {PYSEM_LIT("estimated_tokens"), estimated},
                             {PYSEM_LIT("reserve_tokens"), reserve},
                             {PYSEM_LIT("refill_in_ms"), get(before_quota, PYSEM_LIT("refillIn"))},
                             {PYSEM_LIT("refill_rate"), get(before_quota, PYSEM_LIT("refillRate"))}});
}

inline py::object quota_error(py::handle warning_arg) {
    py::dict warning = pysem::exact_dict(warning_arg, "quota_warning");
    py::object tokens_left = get(warning, PYSEM_LIT("tokens_left"));
    py::object estimated = get(warning, PYSEM_LIT("estimated_tokens"));
    py::object reserve = get(warning, PYSEM_LIT("reserve_tokens"));
    py::object refill_in = get(warning, PYSEM_LIT("refill_in_ms"));
    py::object refill_rate = get(warning, PYSEM_LIT("refill_rate"));
    return pysem::call(ns["KeepaQuotaError"], PYSEM_LIT(QUOTA_SHORT_MESSAGE),
                       pysem::keyword{"tokens_left", tokens_left}, pysem::keyword{"estimated_tokens", estimated},
                       pysem::keyword{"reserve_tokens", reserve}, pysem::keyword{"refill_in_ms", refill_in},
                       pysem::keyword{"refill_rate", refill_rate});
}

// Seconds to wait for the refill the figures announce: refillIn ms plus one
// second, never negative; 0 when the figure is missing, no number or
// infinite (an endless wait would hang the run).
inline double refill_wait_seconds(py::handle before_quota) {
    py::object refill = figure_or_none(PyNumber_Float(get(before_quota, PYSEM_LIT("refillIn")).ptr()));
    if (refill.is_none()) return 0.0;
    double seconds = PyFloat_AS_DOUBLE(refill.ptr()) / 1000.0 + 1.0;
    return !std::isfinite(seconds) || seconds < 0.0 ? 0.0 : seconds;
}

inline py::dict quota_wait_warning(double seconds) {
    return pysem::make_dict({{PYSEM_LIT("stage"), PYSEM_LIT("quota_wait")},
                             {PYSEM_LIT("message"), PYSEM_LIT(QUOTA_WAIT_MESSAGE)},
                             {PYSEM_LIT("wait_seconds"), py::float_(seconds)}});
}

// The token-status reads of the module functions; their argument checks run
// at call time, before the coroutine exists.

aio::task read_token_status_safely(py::object client, py::list warnings) {
    py::object status;
    bool failed = false;
    try {
        status = co_await aio::wait(pysem::call_method(client, PYSEM_LIT("token_status")));
    } catch (py::error_already_set &e) {
        if (!e.matches(ns["KeepaApiError"])) throw;
        append_token_status_warning(warnings, pysem::handled_exception());
        failed = true;
    }
    if (failed) co_return py::dict();
    co_return dict_result(status, "_safe_token_status");
}

inline aio::task safe_token_status(py::object client, py::object warnings) {
    return read_token_status_safely(client, pysem::exact_list(warnings, "warnings"));
}

aio::task read_token_status_after_refill(py::object client, py::dict before_quota, py::list warnings) {
    double seconds = refill_wait_seconds(before_quota);
    if (seconds > 0.0) {
        append(warnings, quota_wait_warning(seconds));
        co_await aio::wait(pysem::call_method(ns["asyncio"], PYSEM_LIT("sleep"), py::float_(seconds)));
    }
    py::object status = co_await aio::wait(pysem::call_method(client, PYSEM_LIT("token_status")));
    co_return dict_result(status, "_wait_for_refill");
}

inline aio::task wait_for_refill(py::object client, py::object before_quota, py::object warnings) {
    py::dict figures = pysem::exact_dict(before_quota, "before_quota");
    return read_token_status_after_refill(client, figures, pysem::exact_list(warnings, "warnings"));
}

// ---------------------------------------------------------------------------
// Job files

inline py::dict params_payload(py::handle request, py::handle scenario, py::handle normalized_params, py::handle account,
                               py::handle estimated_arg, py::handle reserve_arg, py::handle before_quota) {
    pysem::exact_dict(scenario, "scenario");
    pysem::exact_dict(normalized_params, "normalized_params");
    pysem::exact_dict(account, "account");
    py::object estimated = optional_int(estimated_arg, "estimated_tokens");
    py::int_ reserve = pysem::int_arg(reserve_arg, "reserve_tokens");
    pysem::optional_exact_dict(before_quota, "before_quota");
    return pysem::make_dict(
        {{PYSEM_LIT("request"), pysem::call_method(request, PYSEM_LIT("to_dict"))},
         {PYSEM_LIT("scenario"), scenario},
         {PYSEM_LIT("account"), account},
         {PYSEM_LIT("normalized_params"), normalized_params},
         {PYSEM_LIT("estimated_tokens"), estimated},
         {PYSEM_LIT("reserve_tokens"), reserve},
         {PYSEM_LIT("before_quota"), pysem::truthy(before_quota) ? py::reinterpret_borrow<py::object>(before_quota)
                                                                 : py::object(py::dict())}});
}

// The whole text is serialised and encoded before the file is opened, so a
// value that cannot be written leaves an earlier file as it was.
inline void write_json(py::handle path_arg, py::handle payload) {
    State &s = state();
    py::object path = pysem::call(ns["Path"], path_arg);
    py::object parent = path.attr(s.parent);
    pysem::call_method(parent, s.mkdir, pysem::keyword{"parents", Py_True}, pysem::keyword{"exist_ok", Py_True});
    json::Text data = json::dumps(payload);
    pysem::call_method(path, s.write_bytes, data.view());
}

// ---------------------------------------------------------------------------
// Exports and upload

inline py::str normalize_export_format(py::handle value_arg) {
    py::str value = pysem::exact_str(value_arg, "value");
    py::str normalized = pysem::strip(value).attr(PYSEM_LIT("lower"))();
    if (PyUnicode_GET_LENGTH(normalized.ptr()) == 0 || pysem::equal(normalized, PYSEM_LIT("xls")) ||
        pysem::equal(normalized, PYSEM_LIT("xlsx")))
        return PYSEM_LIT("xlsx");
    if (pysem::equal(normalized, PYSEM_LIT("json"))) return PYSEM_LIT("json");
    pysem::raise_instance(pysem::call(
        ns["KeepaConfigError"],
        pysem::concat({PYSEM_LIT("不支持的导出格式："), value, PYSEM_LIT("。Keepa 当前支持 xls/xlsx/json 导出。")})));
}

// The warning's "error" for a failed upload: the upload error's own record,
// else the error's type name and text.
inline py::object upload_failure_detail(py::handle error) {
    if (is_instance(error, ns["FileUploadError"])) return pysem::call_method(error, PYSEM_LIT("to_dict"));
    return pysem::make_dict({{PYSEM_LIT("code"), type_short_name(error)},
                             {PYSEM_LIT("message"), pysem::text_form(error)}});
}

inline void upload_export_if_enabled(py::handle export_, py::handle job_id, py::handle scenario, py::handle site,
                                     py::handle warnings_arg, py::handle jwt, py::handle session_id) {
    pysem::exact_str(job_id, "job_id");
    pysem::exact_str(scenario, "scenario");
    pysem::exact_str(site, "site");
    py::list warnings = pysem::exact_list(warnings_arg, "warnings");
    pysem::optional_exact_str(jwt, "jwt");
    pysem::optional_exact_str(session_id, "session_id");

    py::object client =
        pysem::call(ns["FileUploadClient"], pysem::keyword{"jwt", jwt}, pysem::keyword{"session_id", session_id});
    if (!pysem::truthy(client.attr(PYSEM_LIT("enabled")))) return;

    try {
        py::object path = export_.attr(PYSEM_LIT("path"));
        py::dict metadata = pysem::make_dict({{PYSEM_LIT("job_id"), job_id},
                                              {PYSEM_LIT("scenario"), scenario},
                                              {PYSEM_LIT("site"), site},
                                              {PYSEM_LIT("filename"), export_.attr(PYSEM_LIT("filename"))},
                                              {PYSEM_LIT("format"), export_.attr(PYSEM_LIT("format"))},
                                              {PYSEM_LIT("mime_type"), export_.attr(PYSEM_LIT("mime_type"))}});
        py::object uploaded = pysem::call_method(client, PYSEM_LIT("upload"), path,
                                                 pysem::keyword{"purpose", PYSEM_LIT("keepa_export")},
                                                 pysem::keyword{"folder", PYSEM_LIT("keepa/export")},
                                                 pysem::keyword{"public", PYSEM_LIT("1")},
                                                 pysem::keyword{"metadata", metadata});
        export_.attr(PYSEM_LIT("url")) = uploaded.attr(PYSEM_LIT("url"));
    } catch (py::error_already_set &e) {
        if (!aio::is_ordinary(e)) throw;
        py::object detail = upload_failure_detail(pysem::handled_exception());
        append(warnings, pysem::make_dict({{PYSEM_LIT("stage"), PYSEM_LIT("file_upload")},
                                           {PYSEM_LIT("message"), PYSEM_LIT(UPLOAD_FAILED_MESSAGE)},
                                           {PYSEM_LIT("error"), detail}}));
    }
}

// ---------------------------------------------------------------------------
// _FormattedResponseExports

// The record's fields, in their order.
inline std::array<py::handle, 7> formatter_fields() {
    return {PYSEM_LIT("product"),         PYSEM_LIT("category"),     PYSEM_LIT("seller"), PYSEM_LIT("lightning"),
            PYSEM_LIT("search_insights"), PYSEM_LIT("best_sellers"), PYSEM_LIT("deal")};
}

// Field and main-table attribute, in field order; search insights have none.
inline std::array<std::pair<py::handle, py::handle>, 6> main_tables() {
    return {{{PYSEM_LIT("product"), PYSEM_LIT("products")},
             {PYSEM_LIT("category"), PYSEM_LIT("categories")},
             {PYSEM_LIT("seller"), PYSEM_LIT("sellers")},
             {PYSEM_LIT("lightning"), PYSEM_LIT("deals")},
             {PYSEM_LIT("best_sellers"), PYSEM_LIT("asin_rows")},
             {PYSEM_LIT("deal"), PYSEM_LIT("deals")}}};
}

inline py::object primary_rows(py::handle self) {
    std::array<py::object, 6> candidates;
    size_t i = 0;
    for (auto [field, table] : main_tables()) {
        py::object result = self.attr(field);
        candidates[i++] = pysem::truthy(result) ? py::object(result.attr(table)) : py::object(py::none());
    }
    for (py::object &rows : candidates)
        if (!rows.is_none()) return list_result(rows, "primary_rows", false);
    return py::none();
}

inline py::object extra_sheets(py::handle self) {
    py::dict merged;
    for (py::handle field : formatter_fields()) {
        py::object result = self.attr(field);
        if (!pysem::truthy(result)) continue;
        py::object sheets = pysem::call_method(result, PYSEM_LIT("extra_sheets"));
        if (PyDict_Check(sheets.ptr())) {
            if (PyDict_Update(merged.ptr(), sheets.ptr()) < 0) pysem::throw_pending();
        } else {
            pysem::call_method(merged, PYSEM_LIT("update"), sheets);
        }
    }
    if (PyDict_GET_SIZE(merged.ptr()) == 0) return py::none();
    return merged;
}

// ---------------------------------------------------------------------------
// KeepaBrondic: construction, listing, stored jobs, job directory, hand-over

inline void init(py::handle self, py::handle settings, py::handle api_key_provider, py::handle jwt, py::handle session_id,
                 py::handle collection_submitter) {
    pysem::optional_exact_str(jwt, "jwt");
    pysem::optional_exact_str(session_id, "session_id");
    py::object held =
        pysem::truthy(settings) ? py::reinterpret_borrow<py::object>(settings) : pysem::call(ns["load_settings"]);
    self.attr(PYSEM_LIT("settings")) = held;
    self.attr(PYSEM_LIT("jwt")) = jwt;
    self.attr(PYSEM_LIT("session_id")) = session_id;
    self.attr(PYSEM_LIT("collection_submitter")) = collection_submitter;
    self.attr(PYSEM_LIT("api_key_provider")) =
        pysem::truthy(api_key_provider) ? py::reinterpret_borrow<py::object>(api_key_provider)
                                        : pysem::call(ns["KeepaApiKeyProvider"], self.attr(PYSEM_LIT("settings")));
}

inline py::object scenarios(py::handle) { return list_result(pysem::call(ns["list_scenarios"]), "scenarios", true); }

inline py::object job_status(py::handle self, py::handle job_id_arg) {
    py::str job_id = checked_job_id(job_id_arg);
    py::object output_dir = self.attr(PYSEM_LIT("settings")).attr(PYSEM_LIT("output_dir"));
    py::object path = joined(joined(pysem::call(ns["Path"], output_dir), job_id), PYSEM_LIT("result.json"));
    if (!pysem::truthy(pysem::call_method(path, PYSEM_LIT("exists"))))
        pysem::raise_instance(
            pysem::call(ns["KeepaConfigError"], pysem::concat({PYSEM_LIT("任务不存在："), job_id})));
    py::object text = pysem::call_method(path, PYSEM_LIT("read_text"), pysem::keyword{"encoding", PYSEM_LIT("utf-8")});
    return dict_result(pysem::call_method(ns["json"], PYSEM_LIT("loads"), text), "job_status");
}

inline py::object build_root_dir(py::handle self, py::handle request, py::handle job_id_arg) {
    py::str job_id = checked_job_id(job_id_arg);
    py::object output_dir = request.attr(PYSEM_LIT("output_dir"));
    py::object base = pysem::truthy(output_dir)
                          ? pysem::call_method(pysem::call(ns["Path"], output_dir), PYSEM_LIT("expanduser"))
                          : py::object(self.attr(PYSEM_LIT("settings")).attr(PYSEM_LIT("output_dir")));
    if (!pysem::truthy(pysem::call_method(base, PYSEM_LIT("is_absolute"))))
        base = joined(pysem::call_method(ns["Path"], PYSEM_LIT("cwd")), base);
    return joined(pysem::call_method(base, PYSEM_LIT("resolve")), job_id);
}

inline void submit_collection_result(py::handle self, py::handle request, py::handle result) {
    py::object submitter = self.attr(PYSEM_LIT("collection_submitter"));
    if (submitter.is_none()) return;
    try {
        pysem::call(submitter, pysem::keyword{"request", request}, pysem::keyword{"result", result});
    } catch (py::error_already_set &e) {
        // Interruptions and cancellations are not failures of the hand-over.
        if (!aio::is_ordinary(e)) throw;
        py::object error = pysem::handled_exception();
        aio::handling handling(e);
        py::object job_id = result.attr(PYSEM_LIT("job_id"));
        pysem::call_method(ns["logger"], PYSEM_LIT("error"),
                           PYSEM_LIT("Keepa 成功任务提交采集数据沉淀失败：job_id=%s"), job_id,
                           pysem::keyword{"exc_info", error});
        py::dict code = pysem::make_dict({{PYSEM_LIT("code"), type_short_name(error)}});
        py::dict warning = pysem::make_dict({{PYSEM_LIT("stage"), PYSEM_LIT("collection_storage")},
                                             {PYSEM_LIT("message"), PYSEM_LIT(COLLECTION_FAILED_MESSAGE)},
                                             {PYSEM_LIT("error"), code}});
        py::object warnings = result.attr(PYSEM_LIT("warnings"));
        pysem::call_method(warnings, PYSEM_LIT("append"), warning);
        py::object path = pysem::call(ns["Path"], result.attr(PYSEM_LIT("result_path")));
        py::object payload = pysem::call_method(result, PYSEM_LIT("to_dict"));
        pysem::call(ns["_write_json"], path, payload);
    }
}

// ---------------------------------------------------------------------------
// Keys and clients, for the loops of token_status and run

// The provider's next key; once it has none left, the error for which the
// last key was given up is raised in place of its KeepaConfigError.
inline py::object next_credential(py::handle provider, py::handle attempted, py::handle last_error) {
    try {
        return pysem::call(ns["_get_provider_credential"], provider, attempted);
    } catch (py::error_already_set &e) {
        if (!e.matches(ns["KeepaConfigError"]) || last_error.is_none()) throw;
        aio::raise(last_error);
    }
}

// The credential as an account id to exclude from now on.
inline void exclude_account(py::set attempted, py::handle credential) {
    py::object id = pysem::steal(PyNumber_Long(credential.attr(PYSEM_LIT("account_id")).ptr()));
    if (PySet_Add(attempted.ptr(), id.ptr()) < 0) pysem::throw_pending();
}

inline py::object new_client(py::handle credential) {
    py::object api_key = credential.attr(PYSEM_LIT("api_key"));
    return pysem::call(ns["KeepaApiClient"], pysem::keyword{"api_key", api_key});
}

// A Keepa API error while one key's client was open: reported to the
// provider, and the key given up when the provider can rotate past it.
// False when the error must be raised instead.
inline bool give_up_credential(py::error_already_set &e, py::handle provider, py::handle credential,
                               py::set attempted) {
    if (!e.matches(ns["KeepaApiError"])) return false;
    py::object error = pysem::handled_exception();
    aio::handling handling(e);
    pysem::call(ns["_report_provider_failure"], provider, credential, error);
    if (!pysem::truthy(pysem::call(ns["_can_rotate_credential"], provider, credential, error))) return false;
    exclude_account(attempted, credential);
    return true;
}

// A client whose __aexit__ swallowed the block's error leaves nothing to go on.
[[noreturn]] inline void suppressed_by_client() {
    throw std::runtime_error("the Keepa client's __aexit__ suppressed an error, so the attempt has no result");
}

// One key's attempt, in a Keepa client of its own: awaits use(client) inside
// `async with` the client. Gives (what that gives, None), or (None, the
// failure) when the key fails in a way that lets the next key try. `use`
// holds what it needs: the attempt may outlive the loop that awaits it.
template <class Use>
aio::task in_own_client(py::object provider, py::object credential, py::set attempted, Use use) {
    py::object outcome;
    try {
        aio::async_with client_context(new_client(credential));
        py::object client = co_await client_context.enter();
        aio::failure failure;
        try {
            outcome = co_await aio::wait(use(client));
        } catch (...) {
            failure.capture();
        }
        co_await client_context.exit(failure);
    } catch (py::error_already_set &e) {
        if (!give_up_credential(e, provider, credential, attempted)) throw;
        co_return py::make_tuple(py::none(), pysem::handled_exception());
    }
    if (!outcome) suppressed_by_client();
    co_return py::make_tuple(outcome, py::none());
}

// What in_own_client gave: its outcome, or (non-null) the failure for which
// the key gave way.
struct Outcome {
    py::object value, gave_way;

    explicit Outcome(py::handle given) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(given);
        value = pair[0];
        if (!pair[1].is_none()) gave_way = pair[1];
    }
};

// ---------------------------------------------------------------------------
// KeepaBrondic.token_status

aio::task token_status(py::object self) {
    py::set attempted;
    py::object last_error = py::none();
    while (true) {
        py::object provider = self.attr(PYSEM_LIT("api_key_provider"));
        py::object credential = next_credential(provider, attempted, last_error);

        py::object given = co_await in_own_client(provider, credential, attempted, [](py::object client) {
            return pysem::call_method(client, PYSEM_LIT("token_status"));
        });
        Outcome tried(given);
        if (tried.gave_way) {
            last_error = tried.gave_way;
            continue;
        }
        py::object answer = tried.value;

        py::object report_success = ns["_report_provider_success"];
        py::object figures = pysem::call(ns["extract_quota"], answer);
        pysem::call(report_success, provider, credential, figures);
        co_return pysem::make_dict({{PYSEM_LIT("account"), pysem::call_method(credential, PYSEM_LIT("to_public_dict"))},
                                    {PYSEM_LIT("quota"), pysem::call(ns["extract_quota"], answer)},
                                    {PYSEM_LIT("raw"), answer}});
    }
}

// ---------------------------------------------------------------------------
// KeepaBrondic.run: the credential attempt loop

// What a run settles before its first key, read by every step after it.
struct Job {
    py::object request, started_at, export_format, scenario, site, job_id;
    py::object root_dir, params_path, raw_path, result_path;
    py::object normalized_params, estimated_tokens, reserve_tokens;
    py::list warnings;
};

// What the attempt that succeeded gives back.
struct Answer {
    py::object credential, before_status, before_quota, raw_response, after_status;

    explicit Answer(py::tuple values)
        : credential(values[0]), before_status(values[1]), before_quota(values[2]), raw_response(values[3]),
          after_status(values[4]) {}
};

// "params.json"; without figures (a null handle) the payload builder's
// default applies.
inline void write_params(const Job &job, py::handle credential, py::handle before_quota) {
    using pysem::keyword;
    py::object public_scenario = pysem::call_method(job.scenario, PYSEM_LIT("to_public_dict"));
    py::object public_account = pysem::call_method(credential, PYSEM_LIT("to_public_dict"));
    py::object build = ns["_params_payload"];
    keyword request{"request", job.request}, scenario{"scenario", public_scenario},
        normalized_params{"normalized_params", job.normalized_params}, account{"account", public_account},
        estimated_tokens{"estimated_tokens", job.estimated_tokens},
        reserve_tokens{"reserve_tokens", job.reserve_tokens};
    py::object payload;
    if (before_quota)
        payload = pysem::call(build, request, scenario, normalized_params, account, estimated_tokens, reserve_tokens,
                              keyword{"before_quota", before_quota});
    else
        payload = pysem::call(build, request, scenario, normalized_params, account, estimated_tokens, reserve_tokens);
    pysem::call(ns["_write_json"], job.params_path, payload);
}

inline py::object quota_warning_for(const Job &job, py::handle before_quota) {
    return pysem::call(ns["_build_quota_warning"], pysem::keyword{"before_quota", before_quota},
                       pysem::keyword{"estimated_tokens", job.estimated_tokens},
                       pysem::keyword{"reserve_tokens", job.reserve_tokens});
}

// One attempt inside the opened client. Gives the answer (credential,
// before_status, before_quota, raw_response, after_status), or a 1-tuple of
// what the key was given up for: an API error, or the quota error, which is
// whatever _quota_error made (a patched one may make anything). The loop tells
// the two apart by that shape alone, as the Python loop goes on to the next
// key whatever the quota error is.
aio::task attempt(Job job, py::object provider, py::object credential, py::object client, py::set attempted) {
    py::object request = job.request;
    trace("[KEEPA-TRACE] token_status_start job_id=%s phase=before", job.job_id);

    py::object before_status;
    py::object given_up;
    try {
        before_status = co_await aio::wait(pysem::call_method(client, PYSEM_LIT("token_status")));
    } catch (py::error_already_set &e) {
        if (!e.matches(ns["KeepaApiError"])) throw;
        py::object error = pysem::handled_exception();
        aio::handling handling(e);
        if (pysem::truthy(pysem::call(ns["_can_rotate_credential"], provider, credential, error))) {
            pysem::call(ns["_report_provider_failure"], provider, credential, error);
            exclude_account(attempted, credential);
            given_up = error;
        } else {
            pysem::call(ns["_append_token_status_warning"], job.warnings, error);
            before_status = py::dict();
        }
    }
    if (given_up) co_return py::make_tuple(given_up);
    trace("[KEEPA-TRACE] token_status_done job_id=%s phase=before", job.job_id);

    py::object before_quota = pysem::call(ns["extract_quota"], before_status);
    py::object quota_warning = quota_warning_for(job, before_quota);
    if (!quota_warning.is_none()) {
        py::object quota_error = pysem::call(ns["_quota_error"], quota_warning);
        if (!pysem::truthy(request.attr(PYSEM_LIT("force"))) && !pysem::truthy(request.attr(PYSEM_LIT("wait"))) &&
            pysem::truthy(pysem::call(ns["_provider_supports_rotation"], provider)) &&
            !credential.attr(PYSEM_LIT("account_id")).is_none()) {
            pysem::call(ns["_report_provider_failure"], provider, credential, quota_error,
                        pysem::keyword{"quota", before_quota});
            exclude_account(attempted, credential);
            co_return py::make_tuple(quota_error);
        }
        append(job.warnings, quota_warning);
        if (!pysem::truthy(request.attr(PYSEM_LIT("force"))) && !pysem::truthy(request.attr(PYSEM_LIT("wait")))) {
            write_params(job, credential, py::handle());
            aio::raise(quota_error);
        }
        if (pysem::truthy(request.attr(PYSEM_LIT("wait")))) {
            before_status =
                co_await aio::wait(pysem::call(ns["_wait_for_refill"], client, before_quota, job.warnings));
            before_quota = pysem::call(ns["extract_quota"], before_status);
            py::object refreshed = quota_warning_for(job, before_quota);
            if (!refreshed.is_none() && !pysem::truthy(request.attr(PYSEM_LIT("force")))) {
                append(job.warnings, refreshed);
                write_params(job, credential, before_quota);
                aio::raise(pysem::call(ns["_quota_error"], refreshed));
            }
        }
    }

    write_params(job, credential, before_quota);
    trace("[KEEPA-TRACE] scenario_request_start job_id=%s endpoint=%s", job.job_id,
          job.scenario.attr(PYSEM_LIT("endpoint")));
    py::object endpoint = job.scenario.attr(PYSEM_LIT("endpoint"));
    py::object raw_response =
        co_await aio::wait(pysem::call_method(client, PYSEM_LIT("get_json"), endpoint, job.normalized_params));
    trace("[KEEPA-TRACE] scenario_request_done job_id=%s endpoint=%s", job.job_id,
          job.scenario.attr(PYSEM_LIT("endpoint")));
    trace("[KEEPA-TRACE] token_status_start job_id=%s phase=after", job.job_id);
    py::object after_status = co_await aio::wait(pysem::call(ns["_safe_token_status"], client, job.warnings));
    trace("[KEEPA-TRACE] token_status_done job_id=%s phase=after", job.job_id);
    co_return py::make_tuple(credential, before_status, before_quota, raw_response, after_status);
}

// attempt() in the client of one key, with what it needs owned.
struct Attempt {
    Job job;
    py::object provider, credential;
    py::set attempted;
    aio::task operator()(py::object client) const { return attempt(job, provider, credential, client, attempted); }
};

// Keys one after another, each in its own client, until one gets an answer.
aio::task credential_attempts(py::object self, Job job) {
    py::set attempted;
    py::object last_error = py::none();
    while (true) {
        py::object provider = self.attr(PYSEM_LIT("api_key_provider"));
        py::object credential = next_credential(provider, attempted, last_error);
        trace("[KEEPA-TRACE] credential_ready scenario=%s site=%s source=%s", job.request.attr(PYSEM_LIT("scenario")),
              job.site, credential.attr(PYSEM_LIT("source")));

        Attempt use{job, provider, credential, attempted}; // named: see aio.hpp on aggregates
        py::object given = co_await in_own_client(provider, credential, attempted, use);
        Outcome tried(given);
        if (tried.gave_way) {
            last_error = tried.gave_way;
            continue;
        }
        // attempt()'s own tuple: the answer, or what the key was given up for.
        if (PyTuple_GET_SIZE(tried.value.ptr()) == 1) {
            last_error = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(tried.value.ptr(), 0));
            continue;
        }
        co_return tried.value;
    }
}

// ---------------------------------------------------------------------------
// KeepaBrondic.run: the steps around the loop

// The clock, the export format, the scenario, the site and the job id, then
// the start line.
inline Job name_job(py::handle request) {
    Job job;
    job.request = py::reinterpret_borrow<py::object>(request);
    job.started_at = pysem::call_method(ns["time"], PYSEM_LIT("monotonic"));
    job.export_format = pysem::call(ns["_normalize_export_format"], request.attr(PYSEM_LIT("export_format")));
    job.scenario = pysem::call(ns["get_scenario"], request.attr(PYSEM_LIT("scenario")));
    py::object requested_site = request.attr(PYSEM_LIT("site"));
    job.site = pysem::call_method(pysem::truthy(requested_site) ? requested_site : py::object(PYSEM_LIT("US")),
                                  PYSEM_LIT("upper"));
    py::object requested_job_id = request.attr(PYSEM_LIT("job_id"));
    job.job_id = pysem::truthy(requested_job_id) ? py::object(checked_job_id(requested_job_id))
                                                 : pysem::call(ns["_build_job_id"], request, job.site);
    trace("[KEEPA-TRACE] manager_start scenario=%s site=%s job_id=%s export_format=%s",
          request.attr(PYSEM_LIT("scenario")), job.site, job.job_id, job.export_format);
    return job;
}

// The run directory, created with its parents, and the paths of its files.
inline void make_run_directory(py::handle self, Job &job) {
    job.root_dir = pysem::via<&build_root_dir>(self, job.request, job.job_id);
    pysem::call_method(job.root_dir, PYSEM_LIT("mkdir"), pysem::keyword{"parents", Py_True},
                       pysem::keyword{"exist_ok", Py_True});
    job.params_path = joined(job.root_dir, PYSEM_LIT("params.json"));
    job.raw_path = joined(job.root_dir, PYSEM_LIT("raw.json"));
    job.result_path = joined(job.root_dir, PYSEM_LIT("result.json"));
}

// The parameters Keepa receives, the token estimate (from the request's own
// parameters), the reserve in force and the run's warning list.
inline void prepare_request(py::handle self, Job &job) {
    py::handle request = job.request;
    py::object params = request.attr(PYSEM_LIT("params"));
    job.normalized_params = pysem::call_method(job.scenario, PYSEM_LIT("build_params"),
                                               pysem::keyword{"params", params}, pysem::keyword{"site", job.site});
    job.estimated_tokens =
        pysem::call_method(job.scenario, PYSEM_LIT("estimate_tokens"), request.attr(PYSEM_LIT("params")));
    job.reserve_tokens = request.attr(PYSEM_LIT("reserve_tokens")).is_none()
                             ? py::object(self.attr(PYSEM_LIT("settings")).attr(PYSEM_LIT("reserve_tokens")))
                             : py::object(request.attr(PYSEM_LIT("reserve_tokens")));
    job.warnings = py::list();
}

// The key worked: the provider hears of it with the newest figures there are.
inline void report_success(py::handle self, const Answer &answer) {
    py::object figures = pysem::call(ns["extract_quota"], answer.after_status);
    if (!pysem::truthy(figures)) figures = pysem::call(ns["extract_quota"], answer.raw_response);
    if (!pysem::truthy(figures)) figures = answer.before_quota;
    pysem::call(ns["_report_provider_success"], self.attr(PYSEM_LIT("api_key_provider")), answer.credential, figures);
}

inline void write_raw_json(const Job &job, const Answer &answer) {
    py::dict raw_payload = pysem::make_dict({{PYSEM_LIT("job_id"), job.job_id},
                                             {PYSEM_LIT("scenario"), job.request.attr(PYSEM_LIT("scenario"))},
                                             {PYSEM_LIT("site"), job.site},
                                             {PYSEM_LIT("endpoint"), job.scenario.attr(PYSEM_LIT("endpoint"))},
                                             {PYSEM_LIT("request_params"), job.normalized_params},
                                             {PYSEM_LIT("before_status"), answer.before_status},
                                             {PYSEM_LIT("response"), answer.raw_response},
                                             {PYSEM_LIT("after_status"), answer.after_status},
                                             {PYSEM_LIT("warnings"), job.warnings}});
    pysem::call(ns["_write_json"], job.raw_path, raw_payload);
}

// Whether any row is a mapping: any(isinstance(row, dict) for row in rows).
inline bool any_mapping(py::handle rows) {
    bool found = false;
    py::object iterator = pysem::steal(PyObject_GetIter(rows.ptr()));
    while (!found) {
        py::object row = py::reinterpret_steal<py::object>(PyIter_Next(iterator.ptr()));
        if (!row) break;
        found = PyDict_Check(row.ptr());
    }
    if (PyErr_Occurred()) pysem::throw_pending();
    return found;
}

// The formatter the scenario calls, its result in the field of the record.
inline py::object format_response(py::handle request, py::handle site, py::handle normalized_params,
                                  py::handle raw_response, py::handle raw_rows) {
    using pysem::keyword;
    py::object name = request.attr(PYSEM_LIT("scenario"));
    auto is = [&](const char *known) { return pysem::equal(name, pysem::interned(known)); };

    py::object domain_id = get(normalized_params, PYSEM_LIT("domain"));
    py::object category_parents = get(raw_response, PYSEM_LIT("categoryParents"));
    py::list parent_rows = PyDict_Check(category_parents.ptr()) ? values_of(category_parents) : py::list();
    bool product_rows_are_objects = any_mapping(raw_rows);

    // Every formatter takes the site and the domain id, then its own options.
    keyword on_site{"site", site}, in_domain{"domain_id", domain_id};
    py::object product = py::none(), category = py::none(), seller = py::none(), lightning = py::none(),
               search_insights = py::none(), best_sellers = py::none(), deal = py::none();
    if (is("product") || (is("product-search") && product_rows_are_objects)) {
        py::bool_ offers(has(normalized_params, PYSEM_LIT("offers")));
        product =
            pysem::call(ns["format_product_export"], raw_rows, on_site, in_domain, keyword{"offers_requested", offers});
    } else if (is("category-lookup") || is("category-search")) {
        category = pysem::call(ns["format_category_export"], raw_rows, on_site, in_domain,
                               keyword{"parent_rows", parent_rows});
    } else if (is("seller")) {
        seller = pysem::call(ns["format_seller_export"], raw_rows, on_site, in_domain);
    } else if (is("lightning-deals")) {
        lightning = pysem::call(ns["format_lightning_deal_export"], raw_rows, on_site, in_domain);
    } else if (is("product-finder")) {
        py::object insights = get(raw_response, PYSEM_LIT("searchInsights"));
        py::object query_name = pysem::call(ns["_search_insights_query_name"], request.attr(PYSEM_LIT("params")));
        search_insights = pysem::call(ns["format_search_insights_export"], insights, on_site, in_domain,
                                      keyword{"query_name", query_name});
    } else if (is("bestsellers")) {
        py::object best = get(raw_response, PYSEM_LIT("bestSellersList"));
        py::object category_id = get(normalized_params, PYSEM_LIT("category"));
        best_sellers = pysem::call(ns["format_best_sellers_export"], best, on_site, in_domain,
                                   keyword{"category_id", category_id});
    } else if (is("deals")) {
        deal = pysem::call(ns["format_deal_export"], raw_rows, on_site, in_domain);
    }
    return pysem::call(ns["_FormattedResponseExports"], keyword{"product", product}, keyword{"category", category},
                       keyword{"seller", seller}, keyword{"lightning", lightning},
                       keyword{"search_insights", search_insights}, keyword{"best_sellers", best_sellers},
                       keyword{"deal", deal});
}

// The answer's rows as the run counts, formats and returns them.
struct Rows {
    py::object raw_rows, formatted, primary_rows, data;
};

inline Rows read_rows(const Job &job, const Answer &answer) {
    Rows rows;
    rows.raw_rows = pysem::call(ns["extract_rows"], answer.raw_response);
    rows.formatted = format_response(job.request, job.site, job.normalized_params, answer.raw_response, rows.raw_rows);
    rows.primary_rows = pysem::call_method(rows.formatted, PYSEM_LIT("primary_rows"));
    rows.data = rows.primary_rows.is_none() ? pysem::call(ns["add_keepa_time_conversions"], rows.raw_rows)
                                            : rows.primary_rows;
    return rows;
}

// The export file, named after the job: the raw answer as JSON, or the rows
// as a workbook (the formatted rows, else the answer's flat rows).
inline py::object export_file(const Job &job, const Answer &answer, const Rows &rows) {
    using pysem::keyword;
    py::handle request = job.request;
    if (pysem::equal(job.export_format, PYSEM_LIT("json"))) {
        py::object output_path = joined(job.root_dir, pysem::concat({job.job_id, PYSEM_LIT(".json")}));
        py::object scenario = request.attr(PYSEM_LIT("scenario"));
        return pysem::call(ns["export_response_to_json"], keyword{"response", answer.raw_response},
                           keyword{"output_path", output_path}, keyword{"scenario", scenario},
                           keyword{"site", job.site});
    }
    py::object export_rows = rows.primary_rows.is_none()
                                 ? pysem::call(ns["raw_response_to_export_rows"], answer.raw_response)
                                 : rows.primary_rows;
    py::object output_path = joined(job.root_dir, pysem::concat({job.job_id, PYSEM_LIT(".xlsx")}));
    py::object scenario = request.attr(PYSEM_LIT("scenario"));
    py::object params = request.attr(PYSEM_LIT("params"));
    py::object extra_sheets = pysem::call_method(rows.formatted, PYSEM_LIT("extra_sheets"));
    return pysem::call(ns["export_rows_to_xlsx"], keyword{"rows", export_rows}, keyword{"output_path", output_path},
                       keyword{"scenario", scenario}, keyword{"site", job.site}, keyword{"params", params},
                       keyword{"extra_sheets", extra_sheets});
}

// The upload, when the request asks for one; a failed upload is a warning.
inline void upload_if_requested(py::handle self, const Job &job, py::handle export_) {
    if (!pysem::truthy(job.request.attr(PYSEM_LIT("upload_export")))) {
        trace("[KEEPA-TRACE] export_upload_skipped job_id=%s reason=api_mode", job.job_id);
        return;
    }
    trace("[KEEPA-TRACE] export_upload_start job_id=%s", job.job_id);
    using pysem::keyword;
    py::object scenario = job.request.attr(PYSEM_LIT("scenario"));
    py::object jwt = self.attr(PYSEM_LIT("jwt"));
    py::object session_id = self.attr(PYSEM_LIT("session_id"));
    pysem::call(ns["_upload_export_if_enabled"], keyword{"export", export_}, keyword{"job_id", job.job_id},
                keyword{"scenario", scenario}, keyword{"site", job.site}, keyword{"warnings", job.warnings},
                keyword{"jwt", jwt}, keyword{"session_id", session_id});
    trace("[KEEPA-TRACE] export_upload_done job_id=%s", job.job_id);
}

// The quota record and the run's result.
inline py::object build_result(const Job &job, const Answer &answer, const Rows &rows, py::handle export_) {
    using pysem::keyword;
    py::dict quota =
        pysem::make_dict({{PYSEM_LIT("estimated_tokens"), job.estimated_tokens},
                          {PYSEM_LIT("before"), pysem::call(ns["extract_quota"], answer.before_status)},
                          {PYSEM_LIT("response"), pysem::call(ns["extract_quota"], answer.raw_response)},
                          {PYSEM_LIT("after"), pysem::call(ns["extract_quota"], answer.after_status)}});
    py::object scenario = job.request.attr(PYSEM_LIT("scenario"));
    py::object row_count = length_of(rows.raw_rows);
    py::object root_dir = str_of(job.root_dir), params_path = str_of(job.params_path), raw_path = str_of(job.raw_path),
               result_path = str_of(job.result_path);
    return pysem::call(ns["KeepaScenarioResult"], keyword{"job_id", job.job_id}, keyword{"scenario", scenario},
                       keyword{"site", job.site}, keyword{"row_count", row_count}, keyword{"root_dir", root_dir},
                       keyword{"params_path", params_path}, keyword{"raw_path", raw_path},
                       keyword{"result_path", result_path}, keyword{"export", export_}, keyword{"data", rows.data},
                       keyword{"quota", quota}, keyword{"warnings", job.warnings});
}

// "result.json", then the hand-over, which may add a warning and write the
// file again.
inline void store_result(py::handle self, const Job &job, py::handle result) {
    py::object payload = pysem::call_method(result, PYSEM_LIT("to_dict"));
    pysem::call(ns["_write_json"], job.result_path, payload);
    pysem::via<&submit_collection_result>(self, pysem::keyword{"request", job.request}, pysem::keyword{"result", result});
}

// The closing line, with the whole milliseconds since the run started:
// int((time.monotonic() - started_at) * 1000), whatever the clock gives,
// taken before the line's own reads.
inline void trace_done(const Job &job, py::handle result) {
    py::object now = pysem::call_method(ns["time"], PYSEM_LIT("monotonic"));
    py::object spent = pysem::steal(PyNumber_Subtract(now.ptr(), job.started_at.ptr()));
    py::object elapsed = pysem::steal(PyNumber_Multiply(spent.ptr(), py::int_(1000).ptr()));
    py::object elapsed_ms = pysem::steal(PyNumber_Long(elapsed.ptr()));
    trace("[KEEPA-TRACE] manager_done scenario=%s site=%s job_id=%s row_count=%s elapsed_ms=%s",
          job.request.attr(PYSEM_LIT("scenario")), job.site, job.job_id, result.attr(PYSEM_LIT("row_count")),
          elapsed_ms);
}

aio::task run(py::object self, py::object request) {
    Job job = name_job(request);
    make_run_directory(self, job);
    prepare_request(self, job);
    // The answer tuple that attempt() made.
    Answer answer(py::reinterpret_borrow<py::tuple>(co_await credential_attempts(self, job)));
    report_success(self, answer);
    write_raw_json(job, answer);
    Rows rows = read_rows(job, answer);
    py::object export_ = export_file(job, answer, rows);
    upload_if_requested(self, job, export_);
    py::object result = build_result(job, answer, rows, export_);
    store_result(self, job, result);
    trace_done(job, result);
    co_return result;
}

} // namespace brondic

// ---------------------------------------------------------------------------
// Module

namespace {

using namespace brondic;

// The standard library, then the host, as the module's imports; then the
// module logger.
void register_imports(py::module_ &m) {
    pysem::bind_imports(m, {
        {"asyncio", nullptr},
        {"json", nullptr},
        {"logging", nullptr},
        {"re", nullptr},
        {"time", nullptr},
        {"collections.abc", "Callable"},
        {"dataclasses", "dataclass"},
        {"datetime", "datetime"},
        {"pathlib", "Path"},
        {"typing", "Any"},
        {"uuid", "uuid4"},
        {"pelorin.keepa.accounts", "KeepaApiKey"},
        {"pelorin.keepa.accounts", "KeepaApiKeyProvider"},
        {"pelorin.keepa.api.client", "KeepaApiClient"},
        {"pelorin.keepa.api.scenarios", "get_scenario"},
        {"pelorin.keepa.api.scenarios", "list_scenarios"},
        {"pelorin.keepa.best_sellers_formatter", "FormattedBestSellersExport"},
        {"pelorin.keepa.best_sellers_formatter", "format_best_sellers_export"},
        {"pelorin.keepa.category_formatter", "FormattedCategoryExport"},
        {"pelorin.keepa.category_formatter", "format_category_export"},
        {"pelorin.keepa.config", "KeepaSettings"},
        {"pelorin.keepa.config", "load_settings"},
        {"pelorin.keepa.deal_formatter", "FormattedDealExport"},
        {"pelorin.keepa.deal_formatter", "format_deal_export"},
        {"pelorin.keepa.domain.exceptions", "KeepaApiError"},
        {"pelorin.keepa.domain.exceptions", "KeepaConfigError"},
        {"pelorin.keepa.domain.exceptions", "KeepaError"},
        {"pelorin.keepa.domain.exceptions", "KeepaQuotaError"},
        {"pelorin.keepa.domain.models", "KeepaExportResult"},
        {"pelorin.keepa.domain.models", "KeepaScenarioRequest"},
        {"pelorin.keepa.domain.models", "KeepaScenarioResult"},
        {"pelorin.keepa.export", "export_response_to_json"},
        {"pelorin.keepa.export", "export_rows_to_xlsx"},
        {"pelorin.keepa.lightning_deal_formatter", "FormattedLightningDealExport"},
        {"pelorin.keepa.lightning_deal_formatter", "format_lightning_deal_export"},
        {"pelorin.keepa.product_formatter", "FormattedProductExport"},
        {"pelorin.keepa.product_formatter", "format_product_export"},
        {"pelorin.keepa.search_insights_formatter", "FormattedSearchInsightsExport"},
        {"pelorin.keepa.search_insights_formatter", "format_search_insights_export"},
        {"pelorin.keepa.seller_formatter", "FormattedSellerExport"},
        {"pelorin.keepa.seller_formatter", "format_seller_export"},
        {"pelorin.keepa.time", "add_keepa_time_conversions"},
        {"pelorin.shared.file_uploads", "FileUploadClient"},
        {"pelorin.shared.file_uploads", "FileUploadError"},
    });
    py::object get_logger = m.attr("logging").attr("getLogger");
    py::object name = m.attr("__name__");
    m.attr("logger") = pysem::call(get_logger, name);
}

// _FormattedResponseExports: a data class of the seven formatter results.
void register_formatted_exports(py::module_ &m) {
    py::object cls = pysem::make_class(m, "_FormattedResponseExports",
                                       "汇总一次 Keepa 响应的专用 formatter 结果并统一选择主表/附加表。");
    std::pair<const char *, const char *> fields[] = {
        {"product", "FormattedProductExport"},
        {"category", "FormattedCategoryExport"},
        {"seller", "FormattedSellerExport"},
        {"lightning", "FormattedLightningDealExport"},
        {"search_insights", "FormattedSearchInsightsExport"},
        {"best_sellers", "FormattedBestSellersExport"},
        {"deal", "FormattedDealExport"},
    };
    py::dict annotations = pysem::steal_as<py::dict>(PyDict_New());
    for (auto [field, type] : fields) {
        annotations[field] = pysem::steal(PyNumber_Or(m.attr(type).ptr(), Py_None));
        cls.attr(field) = py::none();
    }
    cls.attr("__annotations__") = annotations;
    pysem::define(cls, {
        pysem::method<&primary_rows>("primary_rows()", "按场景互斥关系返回专用 formatter 的主表行，未格式化时返回空。"),
        pysem::method<&extra_sheets>("extra_sheets()", "合并所有专用 formatter 的非空附加表。"),
    });
    m.attr("_FormattedResponseExports") = pysem::call(py::object(m.attr("dataclass")), cls);
}

void register_manager(py::module_ &m) {
    py::object cls = pysem::make_class(m, "KeepaBrondic", "执行 Keepa API 场景并保存请求和响应数据。");
    pysem::define(cls, {
        pysem::method<&init>(
            "__init__(*, settings=None, api_key_provider=None, jwt=None, session_id=None, collection_submitter=None)"),
        pysem::method<&scenarios>("scenarios()", "列出支持的接口场景。"),
        aio::method<&token_status>("token_status()", "读取 Keepa API token 状态。"),
        aio::method<&run>("run(request)", "执行一个 Keepa API 场景。"),
        pysem::method<&job_status>("job_status(job_id)", "读取已落盘任务状态。"),
        pysem::method<&build_root_dir>("_build_root_dir(request, job_id)"),
        pysem::method<&submit_collection_result>("_submit_collection_result(*, request, result)",
                                                 "提交成功任务；沉淀异常不能回滚已经完成的 Keepa 采集。"),
    });
    m.attr("KeepaBrondic") = cls;
}

void register_key_rotation(py::module_ &m) {
    pysem::define(m, {
        pysem::function<&provider_supports_rotation>("_provider_supports_rotation(provider)"),
        pysem::function<&get_provider_credential>("_get_provider_credential(provider, attempted_account_ids)"),
        pysem::function<&report_provider_success>("_report_provider_success(provider, credential, quota)"),
        pysem::function<&report_provider_failure>("_report_provider_failure(provider, credential, exc, *, quota=None)"),
        pysem::function<&can_rotate_credential>("_can_rotate_credential(provider, credential, exc)"),
    });
}

void register_response_rows(py::module_ &m) {
    pysem::define(m, {
        pysem::function<&rows::extract_quota>("extract_quota(payload)", "提取 Keepa 响应中的额度字段。"),
        pysem::function<&rows::extract_rows>("extract_rows(payload)", "从 Keepa 原始响应中提取主要结果列表。"),
        pysem::function<&rows::raw_response_to_export_rows>(
            "raw_response_to_export_rows(payload)", "将 Keepa 原始响应转换成 XLSX 行，尽量保留 API 返回的全部顶层 JSON 字段。"),
        pysem::function<&rows::primary_row_items>("_primary_row_items(payload)"),
        pysem::function<&rows::rows_from_response_value>("_rows_from_response_value(key, value)"),
        pysem::function<&rows::scalar_item_field>("_scalar_item_field(row_source_key)"),
        pysem::function<&rows::search_insights_query_name>("_search_insights_query_name(params)"),
    });
}

void register_token_quota(py::module_ &m) {
    pysem::define(m, {
        aio::function<&safe_token_status>("_safe_token_status(client, warnings)"),
        pysem::function<&append_token_status_warning>("_append_token_status_warning(warnings, exc)"),
        pysem::function<&build_quota_warning>("_build_quota_warning(*, before_quota, estimated_tokens, reserve_tokens)"),
        aio::function<&wait_for_refill>("_wait_for_refill(client, before_quota, warnings)"),
        pysem::function<&quota_error>("_quota_error(quota_warning)", "把额度预检查结果转换为稳定、可重试的 Keepa 错误。"),
    });
}

void register_params_document(py::module_ &m) {
    pysem::define(m, {
        pysem::function<&params_payload>("_params_payload(*, request, scenario, normalized_params, account, "
                                         "estimated_tokens, reserve_tokens, before_quota=None)"),
    });
}

void register_job_naming(py::module_ &m) {
    state(); // the naming patterns, compiled now as a module's own patterns are
    pysem::define(m, {
        pysem::function<&naming::build_job_id>("_build_job_id(request, site)"),
        pysem::function<&naming::scenario_label>("_scenario_label(scenario)"),
        pysem::function<&naming::build_target_label>("_build_target_label(scenario, params)"),
        pysem::function<&naming::first>("_first(value)"),
        pysem::function<&naming::camel_case>("_camel_case(value)"),
        pysem::function<&naming::sanitize_filename_part>("_sanitize_filename_part(value)"),
    });
}

void register_export_steps(py::module_ &m) {
    pysem::define(m, {
        pysem::function<&normalize_export_format>("_normalize_export_format(value)"),
        pysem::function<&upload_export_if_enabled>(
            "_upload_export_if_enabled(*, export, job_id, scenario, site, warnings, jwt=None, session_id=None)"),
    });
}

void register_json_writer(py::module_ &m) {
    pysem::define(m, {pysem::function<&write_json>("_write_json(path, payload)")});
}

} // namespace

// In the order of the Python module: imports and logger, the record type, the
// class, then the module functions.
PELORIN_MODULE(brondic, m) {
    ns.bind(m);
    register_imports(m);
    register_formatted_exports(m);
    register_manager(m);
    register_key_rotation(m);
    register_response_rows(m);
    register_token_quota(m);
    register_params_document(m);
    register_job_naming(m);
    register_export_steps(m);
    register_json_writer(m);
}
