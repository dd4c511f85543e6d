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

#include <cmath>
#include <initializer_list>
#include <stdexcept>

namespace brondic {

constexpr const char *QUOTA_SHORT_MESSAGE = "Keepa 当前可用额度不足，请稍后重试；如果持续卡住，请联系运营人员处理。";
constexpr const char *TOKEN_STATUS_FAILED_MESSAGE = "读取 Keepa 可用额度状态失败，继续执行主请求";
constexpr const char *QUOTA_WAIT_MESSAGE = "等待 Keepa 可用额度恢复后继续请求";
constexpr const char *UPLOAD_FAILED_MESSAGE = "导出文件上传失败，已保留服务端本地文件";
constexpr const char *COLLECTION_FAILED_MESSAGE = "Keepa 数据沉淀排队失败，采集结果已保留";

inline py::str concat(std::initializer_list<py::handle> parts) {
    py::str text("");
    for (py::handle part : parts) text = pysem::steal_as<py::str>(PyUnicode_Concat(text.ptr(), part.ptr()));
    return text;
}

// One trace line through the module logger; logging fills in the arguments.
template <class... Args> inline void trace(const char *format, Args &&...args) {
    ns["logger"].attr(state().info)(format, std::forward<Args>(args)...);
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
        pysem::raise_instance(ns["KeepaConfigError"](
            concat({py::str("任务 ID 只能是单个目录名（不能为空、不能是 . 或 ..，也不能包含 /、\\ 或空字符）："), job_id})));
    return job_id;
}

// ---------------------------------------------------------------------------
// Key rotation and token quota

inline bool provider_supports_rotation(py::handle provider) {
    return PyCallable_Check(getattr_or_none(provider, state().report_failure).ptr()) != 0;
}

inline py::object get_provider_credential(py::handle provider, py::handle attempted_arg) {
    py::set attempted = pysem::exact_set(attempted_arg, "attempted_account_ids");
    py::object get_default = provider.attr(state().get_default);
    if (provider_supports_rotation(provider)) {
        py::dict kwargs;
        set(kwargs, state().exclude_account_ids, attempted);
        return get_default(**kwargs);
    }
    return get_default();
}

inline void report_provider_success(py::handle provider, py::handle credential, py::handle quota) {
    pysem::exact_dict(quota, "quota");
    py::object report = getattr_or_none(provider, state().report_success);
    if (PyCallable_Check(report.ptr())) report(credential, quota);
}

inline void report_provider_failure(py::handle provider, py::handle credential, py::handle exc, py::handle quota) {
    error_arg(exc, "exc");
    pysem::optional_exact_dict(quota, "quota");
    py::object report = getattr_or_none(provider, state().report_failure);
    if (PyCallable_Check(report.ptr())) {
        py::dict kwargs;
        set(kwargs, state().quota, quota);
        report(credential, exc, **kwargs);
    }
}

inline bool can_rotate_credential(py::handle provider, py::handle credential, py::handle exc) {
    if (!provider_supports_rotation(provider)) return false;
    if (credential.attr(state().account_id).is_none()) return false;
    py::object code = exc.attr(state().code);
    for (const char *rotatable : {"KEEPA_AUTH_ERROR", "KEEPA_FORBIDDEN", "KEEPA_QUOTA_INSUFFICIENT", "KEEPA_RATE_LIMITED"})
        if (equals(code, py::str(rotatable))) return true;
    return false;
}

inline void append_token_status_warning(py::handle warnings_arg, py::handle exc) {
    py::list warnings = pysem::exact_list(warnings_arg, "warnings");
    State &s = state();
    py::dict record;
    set(record, s.stage, py::str("token_status"));
    set(record, s.message, py::str(TOKEN_STATUS_FAILED_MESSAGE));
    set(record, s.error, exc.attr(s.to_dict)());
    append(warnings, record);
}

// The result of int(figure) or float(figure); None when the figure is no
// number of that kind (a type or value error) or none that can be counted
// (an infinite or too large figure from a malformed answer). Other failures
// pass.
inline py::object figure_or_none(PyObject *converted) {
    if (converted) return py::reinterpret_steal<py::object>(converted);
    if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
        !PyErr_ExceptionMatches(PyExc_OverflowError))
        throw py::error_already_set();
    PyErr_Clear();
    return py::none();
}

inline py::object build_quota_warning(py::handle before_quota_arg, py::handle estimated_arg, py::handle reserve_arg) {
    py::dict before_quota = pysem::exact_dict(before_quota_arg, "before_quota");
    py::object estimated = optional_int(estimated_arg, "estimated_tokens");
    py::int_ reserve = pysem::int_arg(reserve_arg, "reserve_tokens");
    State &s = state();

    py::object tokens_left = get(before_quota, s.tokensLeft);
    if (estimated.is_none() || tokens_left.is_none()) return py::none();
    py::object tokens = figure_or_none(PyNumber_Long(tokens_left.ptr()));
    if (tokens.is_none()) return py::none();

    py::int_ zero(0);
    py::object required = (estimated < zero ? zero : estimated) + (reserve < zero ? zero : py::object(reserve));
    if (tokens >= required) return py::none();

    py::dict record;
    set(record, s.stage, py::str("quota_precheck"));
    set(record, s.message, py::str(QUOTA_SHORT_MESSAGE));
    set(record, s.tokens_left, tokens);
    set(record, s.estimated_tokens, estimated);
    set(record, s.reserve_tokens, reserve);
    set(record, s.refill_in_ms, get(before_quota, s.refillIn));
    set(record, s.refill_rate, get(before_quota, s.refillRate));
    return record;
}

inline py::object quota_error(py::handle warning_arg) {
    py::dict warning = pysem::exact_dict(warning_arg, "quota_warning");
    State &s = state();
    py::dict kwargs;
    for (py::handle key : {s.tokens_left, s.estimated_tokens, s.reserve_tokens, s.refill_in_ms, s.refill_rate})
        set(kwargs, key, get(warning, key));
    return ns["KeepaQuotaError"](QUOTA_SHORT_MESSAGE, **kwargs);
}

// Seconds to wait for the refill the figures announce: refillIn ms plus one
// second, never negative; 0 when the figure is missing, no number or
// infinite (an endless wait would hang the run).
inline double refill_wait_seconds(py::handle before_quota) {
    py::object refill = figure_or_none(PyNumber_Float(get(before_quota, state().refillIn).ptr()));
    if (refill.is_none()) return 0.0;
    double seconds = PyFloat_AS_DOUBLE(refill.ptr()) / 1000.0 + 1.0;
    return !std::isfinite(seconds) || seconds < 0.0 ? 0.0 : seconds;
}

inline py::dict quota_wait_warning(double seconds) {
    State &s = state();
    py::dict record;
    set(record, s.stage, py::str("quota_wait"));
    set(record, s.message, py::str(QUOTA_WAIT_MESSAGE));
    set(record, s.wait_seconds, py::float_(seconds));
    return record;
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
    State &s = state();
    py::dict payload;
    set(payload, s.request, request.attr(s.to_dict)());
    set(payload, s.scenario, scenario);
    set(payload, s.account, account);
    set(payload, s.normalized_params, normalized_params);
    set(payload, s.estimated_tokens, estimated);
    set(payload, s.reserve_tokens, reserve);
    set(payload, s.before_quota, pysem::truthy(before_quota) ? py::reinterpret_borrow<py::object>(before_quota) : py::dict());
    return payload;
}

// The whole text is serialised and encoded before the file is opened, so a
// value that cannot be written leaves an earlier file as it was.
inline void write_json(py::handle path_arg, py::handle payload) {
    State &s = state();
    py::object path = ns["Path"](path_arg);
    py::dict mkdir_options;
    set(mkdir_options, s.parents, py::bool_(true));
    set(mkdir_options, s.exist_ok, py::bool_(true));
    path.attr(s.parent).attr(s.mkdir)(**mkdir_options);
    json::Text data = json::dumps(payload);
    path.attr(s.write_bytes)(data.view());
}

// ---------------------------------------------------------------------------
// Exports and upload

inline py::str normalize_export_format(py::handle value_arg) {
    py::str value = pysem::exact_str(value_arg, "value");
    State &s = state();
    py::str normalized = pysem::strip(value).attr(s.lower)();
    if (PyUnicode_GET_LENGTH(normalized.ptr()) == 0 || equals(normalized, s.xls) || equals(normalized, s.xlsx)) return s.xlsx;
    if (equals(normalized, s.json)) return s.json;
    pysem::raise_instance(ns["KeepaConfigError"](concat({py::str("不支持的导出格式："), value, py::str("。Keepa 当前支持 xls/xlsx/json 导出。")})));
}

inline void upload_export_if_enabled(py::handle export_, py::handle job_id, py::handle scenario, py::handle site,
                                     py::handle warnings_arg, py::handle jwt, py::handle session_id) {
    pysem::exact_str(job_id, "job_id");
    pysem::exact_str(scenario, "scenario");
    pysem::exact_str(site, "site");
    py::list warnings = pysem::exact_list(warnings_arg, "warnings");
    pysem::optional_exact_str(jwt, "jwt");
    pysem::optional_exact_str(session_id, "session_id");
    State &s = state();

    py::dict identity;
    set(identity, s.jwt, jwt);
    set(identity, s.session_id, session_id);
    py::object client = ns["FileUploadClient"](**identity);
    if (!pysem::truthy(client.attr(s.enabled))) return;

    try {
        py::object path = export_.attr(s.path);
        py::dict metadata;
        set(metadata, s.job_id, job_id);
        set(metadata, s.scenario, scenario);
        set(metadata, s.site, site);
        set(metadata, s.filename, export_.attr(s.filename));
        set(metadata, s.format, export_.attr(s.format));
        set(metadata, s.mime_type, export_.attr(s.mime_type));
        py::dict options;
        set(options, s.purpose, py::str("keepa_export"));
        set(options, s.folder, py::str("keepa/export"));
        set(options, py::str("public"), py::str("1"));
        set(options, s.metadata, metadata);
        py::object uploaded = client.attr(s.upload)(path, **options);
        export_.attr(s.url) = uploaded.attr(s.url);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        py::object error = caught(e);
        py::object detail;
        if (is_instance(error, ns["FileUploadError"])) {
            detail = error.attr(s.to_dict)();
        } else {
            py::dict described;
            set(described, s.code, py::str(type_short_name(error)));
            set(described, s.message, pysem::text_form(error));
            detail = described;
        }
        py::dict record;
        set(record, s.stage, py::str("file_upload"));
        set(record, s.message, py::str(UPLOAD_FAILED_MESSAGE));
        set(record, s.error, detail);
        append(warnings, record);
    }
}

// ---------------------------------------------------------------------------
// _FormattedResponseExports

// Field and main-table attribute, in field order; search insights have none.
inline std::array<std::pair<py::handle, py::handle>, 6> main_tables() {
    State &s = state();
    return {{{s.product, s.products},
             {s.category, s.categories},
             {s.seller, s.sellers},
             {s.lightning, s.deals},
             {s.best_sellers, s.asin_rows},
             {s.deal, s.deals}}};
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
    State &s = state();
    py::dict merged;
    for (py::handle field : {s.product, s.category, s.seller, s.lightning, s.search_insights, s.best_sellers, s.deal}) {
        py::object result = self.attr(field);
        if (!pysem::truthy(result)) continue;
        py::object sheets = result.attr(s.extra_sheets)();
        if (PyDict_Check(sheets.ptr())) {
            if (PyDict_Update(merged.ptr(), sheets.ptr()) < 0) throw py::error_already_set();
        } else {
            merged.attr(s.update)(sheets);
        }
    }
    if (PyDict_GET_SIZE(merged.ptr()) == 0) return py::none();
    return merged;
}

// ---------------------------------------------------------------------------
// KeepaBrondic: construction, listing, stored jobs, job directory, hand-over

inline void brondic_init(py::handle self, py::handle settings, py::handle api_key_provider, py::handle jwt,
                         py::handle session_id, py::handle collection_submitter) {
    pysem::optional_exact_str(jwt, "jwt");
    pysem::optional_exact_str(session_id, "session_id");
    State &s = state();
    py::object held = pysem::truthy(settings) ? py::reinterpret_borrow<py::object>(settings) : ns["load_settings"]();
    self.attr(s.settings) = held;
    self.attr(s.jwt) = jwt;
    self.attr(s.session_id) = session_id;
    self.attr(s.collection_submitter) = collection_submitter;
    self.attr(s.api_key_provider) = pysem::truthy(api_key_provider) ? py::reinterpret_borrow<py::object>(api_key_provider)
                                                                     : ns["KeepaApiKeyProvider"](self.attr(s.settings));
}

inline py::object scenarios(py::handle) { return list_result(ns["list_scenarios"](), "scenarios", true); }

inline py::object job_status(py::handle self, py::handle job_id_arg) {
    py::str job_id = checked_job_id(job_id_arg);
    State &s = state();
    py::object path = ns["Path"](self.attr(s.settings).attr(s.output_dir)) / job_id / s.result_json;
    if (!pysem::truthy(path.attr(s.exists)()))
        pysem::raise_instance(ns["KeepaConfigError"](concat({py::str("任务不存在："), job_id})));
    py::dict read_options;
    set(read_options, s.encoding, s.utf_8);
    py::object text = path.attr(s.read_text)(**read_options);
    return dict_result(ns["json"].attr(s.loads)(text), "job_status");
}

inline py::object build_root_dir(py::handle self, py::handle request, py::handle job_id_arg) {
    py::str job_id = checked_job_id(job_id_arg);
    State &s = state();
    py::object output_dir = request.attr(s.output_dir);
    py::object base = pysem::truthy(output_dir) ? py::object(ns["Path"](output_dir).attr(s.expanduser)())
                                                : py::object(self.attr(s.settings).attr(s.output_dir));
    if (!pysem::truthy(base.attr(s.is_absolute)())) base = ns["Path"].attr(s.cwd)() / base;
    return base.attr(s.resolve)() / job_id;
}

inline void submit_collection_result(py::handle self, py::handle request, py::handle result) {
    State &s = state();
    py::object submitter = self.attr(s.collection_submitter);
    if (submitter.is_none()) return;
    try {
        py::dict kwargs;
        set(kwargs, s.request, request);
        set(kwargs, s.result, result);
        submitter(**kwargs);
    } catch (py::error_already_set &e) {
        // Interruptions and cancellations are not failures of the hand-over.
        if (!e.matches(PyExc_Exception)) throw;
        py::object error = caught(e);
        aio::handling handling(e);
        py::dict log_options;
        set(log_options, s.exc_info, error);
        ns["logger"].attr(s.error)("Keepa 成功任务提交采集数据沉淀失败：job_id=%s", result.attr(s.job_id), **log_options);
        py::dict code;
        set(code, s.code, py::str(type_short_name(error)));
        py::dict record;
        set(record, s.stage, py::str("collection_storage"));
        set(record, s.message, py::str(COLLECTION_FAILED_MESSAGE));
        set(record, s.error, code);
        result.attr(s.warnings).attr(s.append)(record);
        py::object path = ns["Path"](result.attr(s.result_path));
        py::object payload = result.attr(s.to_dict)();
        ns["_write_json"](path, payload);
    }
}

// ---------------------------------------------------------------------------
// Coroutines: token-status reads, the refill wait, token_status and run

aio::task safe_token_status(py::object client, py::list warnings) {
    py::object status;
    bool failed = false;
    try {
        status = co_await aio::wait(client.attr(state().token_status)());
    } catch (py::error_already_set &e) {
        if (!e.matches(ns["KeepaApiError"])) throw;
        append_token_status_warning(warnings, caught(e));
        failed = true;
    }
    if (failed) co_return py::dict();
    co_return dict_result(status, "_safe_token_status");
}

aio::task wait_for_refill(py::object client, py::dict before_quota, py::list warnings) {
    double seconds = refill_wait_seconds(before_quota);
    if (seconds > 0.0) {
        append(warnings, quota_wait_warning(seconds));
        co_await aio::wait(ns["asyncio"].attr(state().sleep)(seconds));
    }
    py::object status = co_await aio::wait(client.attr(state().token_status)());
    co_return dict_result(status, "_wait_for_refill");
}

// The credential as an account id to exclude from now on.
inline void exclude_account(py::set attempted, py::handle credential) {
    py::object id = pysem::steal(PyNumber_Long(credential.attr(state().account_id).ptr()));
    if (PySet_Add(attempted.ptr(), id.ptr()) < 0) throw py::error_already_set();
}

inline py::object new_client(py::handle credential) {
    py::dict kwargs;
    set(kwargs, state().api_key, credential.attr(state().api_key));
    return ns["KeepaApiClient"](**kwargs);
}

// A Keepa API error while one key's client was open: reported to the
// provider, and the key given up when the provider can rotate past it.
// False when the error must be raised instead.
inline bool give_up_credential(py::error_already_set &e, py::handle provider, py::handle credential,
                               py::set attempted) {
    if (!e.matches(ns["KeepaApiError"])) return false;
    py::object error = caught(e);
    aio::handling handling(e);
    ns["_report_provider_failure"](provider, credential, error);
    if (!pysem::truthy(ns["_can_rotate_credential"](provider, credential, error))) return false;
    exclude_account(attempted, credential);
    return true;
}

// A client whose __aexit__ swallowed the block's error leaves nothing to go on.
[[noreturn]] inline void suppressed_by_client() {
    throw std::runtime_error("the Keepa client's __aexit__ suppressed an error, so the attempt has no result");
}

aio::task token_status(py::object self) {
    State &s = state();
    py::set attempted;
    py::object last_error = py::none();
    while (true) {
        py::object provider = self.attr(s.api_key_provider);
        py::object credential;
        try {
            credential = ns["_get_provider_credential"](provider, attempted);
        } catch (py::error_already_set &e) {
            if (!e.matches(ns["KeepaConfigError"]) || last_error.is_none()) throw;
            aio::raise(last_error);
        }

        py::object answer;
        try {
            aio::async_with client_context(new_client(credential));
            py::object client = co_await client_context.enter();
            aio::failure failure;
            try {
                answer = co_await aio::wait(client.attr(s.token_status)());
            } catch (...) {
                failure.capture();
            }
            co_await client_context.exit(failure);
        } catch (py::error_already_set &e) {
            if (!give_up_credential(e, provider, credential, attempted)) throw;
            last_error = caught(e);
            continue;
        }
        if (!answer) suppressed_by_client();

        ns["_report_provider_success"](provider, credential, ns["extract_quota"](answer));
        py::dict result;
        set(result, s.account, credential.attr(s.to_public_dict)());
        set(result, s.quota, ns["extract_quota"](answer));
        set(result, s.raw, answer);
        co_return result;
    }
}

// What one run hands to each attempt of its credential loop.
struct Job {
    py::object request, scenario, site, job_id, params_path, normalized_params, estimated_tokens, reserve_tokens;
    py::list warnings;
};

inline void write_params(const Job &job, py::handle credential, py::handle before_quota) {
    State &s = state();
    py::dict kwargs;
    set(kwargs, s.request, job.request);
    set(kwargs, s.scenario, job.scenario.attr(s.to_public_dict)());
    set(kwargs, s.normalized_params, job.normalized_params);
    set(kwargs, s.account, credential.attr(s.to_public_dict)());
    set(kwargs, s.estimated_tokens, job.estimated_tokens);
    set(kwargs, s.reserve_tokens, job.reserve_tokens);
    if (before_quota) set(kwargs, s.before_quota, before_quota);
    py::object payload = ns["_params_payload"](**kwargs);
    ns["_write_json"](job.params_path, payload);
}

inline py::object quota_warning_for(const Job &job, py::handle before_quota) {
    State &s = state();
    py::dict kwargs;
    set(kwargs, s.before_quota, before_quota);
    set(kwargs, s.estimated_tokens, job.estimated_tokens);
    set(kwargs, s.reserve_tokens, job.reserve_tokens);
    return ns["_build_quota_warning"](**kwargs);
}

// One attempt inside the opened client. Gives (before_status, before_quota,
// raw_response, after_status), or the error for which the key was given up.
aio::task attempt(Job job, py::object provider, py::object credential, py::object client, py::set attempted) {
    State &s = state();
    py::object request = job.request;
    trace("[KEEPA-TRACE] token_status_start job_id=%s phase=before", job.job_id);

    py::object before_status;
    py::object given_up;
    try {
        before_status = co_await aio::wait(client.attr(s.token_status)());
    } catch (py::error_already_set &e) {
        if (!e.matches(ns["KeepaApiError"])) throw;
        py::object error = caught(e);
        aio::handling handling(e);
        if (pysem::truthy(ns["_can_rotate_credential"](provider, credential, error))) {
            ns["_report_provider_failure"](provider, credential, error);
            exclude_account(attempted, credential);
            given_up = error;
        } else {
            ns["_append_token_status_warning"](job.warnings, error);
            before_status = py::dict();
        }
    }
    if (given_up) co_return given_up;
    trace("[KEEPA-TRACE] token_status_done job_id=%s phase=before", job.job_id);

    py::object before_quota = ns["extract_quota"](before_status);
    py::object quota_warning = quota_warning_for(job, before_quota);
    if (!quota_warning.is_none()) {
        py::object quota_error = ns["_quota_error"](quota_warning);
        if (!pysem::truthy(request.attr(s.force)) && !pysem::truthy(request.attr(s.wait)) &&
            pysem::truthy(ns["_provider_supports_rotation"](provider)) && !credential.attr(s.account_id).is_none()) {
            py::dict kwargs;
            set(kwargs, s.quota, before_quota);
            ns["_report_provider_failure"](provider, credential, quota_error, **kwargs);
            exclude_account(attempted, credential);
            co_return quota_error;
        }
        append(job.warnings, quota_warning);
        if (!pysem::truthy(request.attr(s.force)) && !pysem::truthy(request.attr(s.wait))) {
            write_params(job, credential, py::handle());
            aio::raise(quota_error);
        }
        if (pysem::truthy(request.attr(s.wait))) {
            before_status = co_await aio::wait(ns["_wait_for_refill"](client, before_quota, job.warnings));
            before_quota = ns["extract_quota"](before_status);
            py::object refreshed = quota_warning_for(job, before_quota);
            if (!refreshed.is_none() && !pysem::truthy(request.attr(s.force))) {
                append(job.warnings, refreshed);
                write_params(job, credential, before_quota);
                aio::raise(ns["_quota_error"](refreshed));
            }
        }
    }

    write_params(job, credential, before_quota);
    trace("[KEEPA-TRACE] scenario_request_start job_id=%s endpoint=%s", job.job_id, job.scenario.attr(s.endpoint));
    py::object raw_response =
        co_await aio::wait(client.attr(s.get_json)(job.scenario.attr(s.endpoint), job.normalized_params));
    trace("[KEEPA-TRACE] scenario_request_done job_id=%s endpoint=%s", job.job_id, job.scenario.attr(s.endpoint));
    trace("[KEEPA-TRACE] token_status_start job_id=%s phase=after", job.job_id);
    py::object after_status = co_await aio::wait(ns["_safe_token_status"](client, job.warnings));
    trace("[KEEPA-TRACE] token_status_done job_id=%s phase=after", job.job_id);
    co_return py::make_tuple(before_status, before_quota, raw_response, after_status);
}

// The formatter the scenario calls, its result in the field of the record.
inline py::object format_response(py::handle request, py::handle site, py::handle normalized_params,
                                  py::handle raw_response, py::handle raw_rows) {
    State &s = state();
    py::object name = request.attr(s.scenario);
    auto is = [&](const char *known) { return equals(name, py::str(known)); };

    py::object domain_id = get(normalized_params, s.domain);
    py::object category_parents = get(raw_response, s.categoryParents);
    py::list parent_rows = PyDict_Check(category_parents.ptr()) ? values_of(category_parents) : py::list();
    bool product_rows_are_objects = false;
    for (py::handle row : raw_rows) {
        if (PyDict_Check(row.ptr())) {
            product_rows_are_objects = true;
            break;
        }
    }

    py::dict options;
    set(options, s.site, site);
    set(options, s.domain_id, domain_id);
    auto call = [&](const char *formatter, py::handle input) { return ns[formatter](input, **options); };

    py::dict fields;
    for (py::handle field : {s.product, s.category, s.seller, s.lightning, s.search_insights, s.best_sellers, s.deal})
        set(fields, field, py::none());
    if (is("product") || (is("product-search") && product_rows_are_objects)) {
        set(options, s.offers_requested, py::bool_(has(normalized_params, s.offers)));
        set(fields, s.product, call("format_product_export", raw_rows));
    } else if (is("category-lookup") || is("category-search")) {
        set(options, s.parent_rows, parent_rows);
        set(fields, s.category, call("format_category_export", raw_rows));
    } else if (is("seller")) {
        set(fields, s.seller, call("format_seller_export", raw_rows));
    } else if (is("lightning-deals")) {
        set(fields, s.lightning, call("format_lightning_deal_export", raw_rows));
    } else if (is("product-finder")) {
        py::object insights = get(raw_response, s.searchInsights);
        set(options, s.query_name, ns["_search_insights_query_name"](request.attr(s.params)));
        set(fields, s.search_insights, call("format_search_insights_export", insights));
    } else if (is("bestsellers")) {
        py::object best_sellers = get(raw_response, s.bestSellersList);
        set(options, s.category_id, get(normalized_params, s.category));
        set(fields, s.best_sellers, call("format_best_sellers_export", best_sellers));
    } else if (is("deals")) {
        set(fields, s.deal, call("format_deal_export", raw_rows));
    }
    return ns["_FormattedResponseExports"](**fields);
}

aio::task run(py::object self, py::object request) {
    State &s = state();
    py::object started_at = ns["time"].attr(s.monotonic)();
    py::object export_format = ns["_normalize_export_format"](request.attr(s.export_format));
    py::object scenario = ns["get_scenario"](request.attr(s.scenario));
    py::object requested_site = request.attr(s.site);
    py::object site = (pysem::truthy(requested_site) ? requested_site : py::object(s.us)).attr(s.upper)();
    py::object requested_job_id = request.attr(s.job_id);
    py::object job_id = pysem::truthy(requested_job_id) ? py::object(checked_job_id(requested_job_id))
                                                        : ns["_build_job_id"](request, site);
    trace("[KEEPA-TRACE] manager_start scenario=%s site=%s job_id=%s export_format=%s", request.attr(s.scenario), site,
          job_id, export_format);

    py::object root_dir = self.attr("_build_root_dir")(request, job_id);
    {
        py::dict options;
        set(options, s.parents, py::bool_(true));
        set(options, s.exist_ok, py::bool_(true));
        root_dir.attr(s.mkdir)(**options);
    }
    py::object params_path = root_dir / s.params_json;
    py::object raw_path = root_dir / s.raw_json;
    py::object result_path = root_dir / s.result_json;

    py::object normalized_params;
    {
        py::dict options;
        set(options, s.params, request.attr(s.params));
        set(options, s.site, site);
        normalized_params = scenario.attr(s.build_params)(**options);
    }
    py::object estimated_tokens = scenario.attr(s.estimate_tokens)(request.attr(s.params));
    py::object reserve_tokens = request.attr(s.reserve_tokens).is_none() ? py::object(self.attr(s.settings).attr(s.reserve_tokens))
                                                                          : py::object(request.attr(s.reserve_tokens));
    py::list warnings;
    Job job{request, scenario, site, job_id, params_path, normalized_params, estimated_tokens, reserve_tokens, warnings};

    // The credential attempt loop.
    py::set attempted;
    py::object last_error = py::none();
    py::object credential;
    py::tuple outcome;
    while (true) {
        py::object provider = self.attr(s.api_key_provider);
        try {
            credential = ns["_get_provider_credential"](provider, attempted);
        } catch (py::error_already_set &e) {
            if (!e.matches(ns["KeepaConfigError"]) || last_error.is_none()) throw;
            aio::raise(last_error);
        }
        trace("[KEEPA-TRACE] credential_ready scenario=%s site=%s source=%s", request.attr(s.scenario), site,
              credential.attr(s.source));

        py::object result;
        try {
            aio::async_with client_context(new_client(credential));
            py::object client = co_await client_context.enter();
            aio::failure failure;
            try {
                result = co_await attempt(job, provider, credential, client, attempted);
            } catch (...) {
                failure.capture();
            }
            co_await client_context.exit(failure);
        } catch (py::error_already_set &e) {
            if (!give_up_credential(e, provider, credential, attempted)) throw;
            last_error = caught(e);
            continue;
        }
        if (!result) suppressed_by_client();
        if (PyExceptionInstance_Check(result.ptr())) {
            last_error = result;
            continue;
        }
        outcome = py::reinterpret_borrow<py::tuple>(result);
        break;
    }
    py::object before_status = outcome[0], before_quota = outcome[1], raw_response = outcome[2], after_status = outcome[3];

    // Success report: the newest figures there are.
    py::object figures = ns["extract_quota"](after_status);
    if (!pysem::truthy(figures)) figures = ns["extract_quota"](raw_response);
    if (!pysem::truthy(figures)) figures = before_quota;
    ns["_report_provider_success"](self.attr(s.api_key_provider), credential, figures);

    py::dict raw_payload;
    set(raw_payload, s.job_id, job_id);
    set(raw_payload, s.scenario, request.attr(s.scenario));
    set(raw_payload, s.site, site);
    set(raw_payload, s.endpoint, scenario.attr(s.endpoint));
    set(raw_payload, s.request_params, normalized_params);
    set(raw_payload, s.before_status, before_status);
    set(raw_payload, s.response, raw_response);
    set(raw_payload, s.after_status, after_status);
    set(raw_payload, s.warnings, warnings);
    ns["_write_json"](raw_path, raw_payload);

    py::object raw_rows = ns["extract_rows"](raw_response);
    py::object formatted = format_response(request, site, normalized_params, raw_response, raw_rows);
    py::object primary_rows = formatted.attr(s.primary_rows)();
    py::object data = primary_rows.is_none() ? ns["add_keepa_time_conversions"](raw_rows) : primary_rows;

    py::object export_;
    if (equals(export_format, s.json)) {
        py::dict options;
        set(options, s.response, raw_response);
        set(options, s.output_path, root_dir / concat({job_id, py::str(".json")}));
        set(options, s.scenario, request.attr(s.scenario));
        set(options, s.site, site);
        export_ = ns["export_response_to_json"](**options);
    } else {
        py::object export_rows = primary_rows.is_none() ? ns["raw_response_to_export_rows"](raw_response) : primary_rows;
        py::dict options;
        set(options, s.rows, export_rows);
        set(options, s.output_path, root_dir / concat({job_id, py::str(".xlsx")}));
        set(options, s.scenario, request.attr(s.scenario));
        set(options, s.site, site);
        set(options, s.params, request.attr(s.params));
        set(options, s.extra_sheets, formatted.attr(s.extra_sheets)());
        export_ = ns["export_rows_to_xlsx"](**options);
    }

    if (pysem::truthy(request.attr(s.upload_export))) {
        trace("[KEEPA-TRACE] export_upload_start job_id=%s", job_id);
        py::dict options;
        set(options, s.export_, export_);
        set(options, s.job_id, job_id);
        set(options, s.scenario, request.attr(s.scenario));
        set(options, s.site, site);
        set(options, s.warnings, warnings);
        set(options, s.jwt, self.attr(s.jwt));
        set(options, s.session_id, self.attr(s.session_id));
        ns["_upload_export_if_enabled"](**options);
        trace("[KEEPA-TRACE] export_upload_done job_id=%s", job_id);
    } else {
        trace("[KEEPA-TRACE] export_upload_skipped job_id=%s reason=api_mode", job_id);
    }

    py::dict quota;
    set(quota, s.estimated_tokens, estimated_tokens);
    set(quota, s.before, ns["extract_quota"](before_status));
    set(quota, s.response, ns["extract_quota"](raw_response));
    set(quota, s.after, ns["extract_quota"](after_status));

    py::dict fields;
    set(fields, s.job_id, job_id);
    set(fields, s.scenario, request.attr(s.scenario));
    set(fields, s.site, site);
    set(fields, s.row_count, py::int_(py::len(raw_rows)));
    set(fields, s.root_dir, py::str(root_dir));
    set(fields, s.params_path, py::str(params_path));
    set(fields, s.raw_path, py::str(raw_path));
    set(fields, s.result_path, py::str(result_path));
    set(fields, s.export_, export_);
    set(fields, s.data, data);
    set(fields, s.quota, quota);
    set(fields, s.warnings, warnings);
    py::object result = ns["KeepaScenarioResult"](**fields);

    ns["_write_json"](result_path, result.attr(s.to_dict)());
    {
        py::dict options;
        set(options, s.request, request);
        set(options, s.result, result);
        self.attr("_submit_collection_result")(**options);
    }

    py::object elapsed = (ns["time"].attr(s.monotonic)() - started_at) * py::int_(1000);
    trace("[KEEPA-TRACE] manager_done scenario=%s site=%s job_id=%s row_count=%s elapsed_ms=%s", request.attr(s.scenario),
          site, job_id, result.attr(s.row_count), pysem::steal(PyNumber_Long(elapsed.ptr())));
    co_return result;
}

} // namespace brondic

// ---------------------------------------------------------------------------
// Module

namespace {

using namespace brondic;

void bind_names(py::module_ m, const char *module, std::initializer_list<const char *> names) {
    for (const char *name : names) m.attr(name) = pysem::import_from(module, name);
}

// KeepaBrondic.__init__(self, *, settings=None, api_key_provider=None,
// jwt=None, session_id=None, collection_submitter=None). pybind11 takes every
// function named __init__ for a constructor of its own classes, so this one
// is a plain C function made a method.
PyObject *brondic_init_entry(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"", "settings", "api_key_provider", "jwt", "session_id", "collection_submitter", nullptr};
    PyObject *self = nullptr, *settings = Py_None, *provider = Py_None, *jwt = Py_None, *session_id = Py_None,
             *submitter = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOO:__init__", const_cast<char **>(keywords), &self, &settings,
                                     &provider, &jwt, &session_id, &submitter))
        return nullptr;
    if (!pysem::run_c_api([&] { brondic_init(self, settings, provider, jwt, session_id, submitter); })) return nullptr;
    Py_RETURN_NONE;
}

// The doc holds only the signature: __doc__ stays None, inspect reads it.
PyMethodDef brondic_init_def = {
    "__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(brondic_init_entry)), METH_VARARGS | METH_KEYWORDS,
    "__init__($self, /, *, settings=None, api_key_provider=None, jwt=None, session_id=None, collection_submitter=None)\n--\n\n"};


} // namespace

PELORIN_MODULE(brondic, m) {
    py::options options;
    options.disable_function_signatures();
    ns.bind(m);

    // Standard library, then the host, as the module's imports.
    for (const char *module : {"asyncio", "json", "logging", "re", "time"}) m.attr(module) = py::module_::import(module);
    bind_names(m, "collections.abc", {"Callable"});
    bind_names(m, "dataclasses", {"dataclass"});
    bind_names(m, "datetime", {"datetime"});
    bind_names(m, "pathlib", {"Path"});
    bind_names(m, "typing", {"Any"});
    bind_names(m, "uuid", {"uuid4"});
    bind_names(m, "pelorin.keepa.accounts", {"KeepaApiKey", "KeepaApiKeyProvider"});
    bind_names(m, "pelorin.keepa.api.client", {"KeepaApiClient"});
    bind_names(m, "pelorin.keepa.api.scenarios", {"get_scenario", "list_scenarios"});
    bind_names(m, "pelorin.keepa.best_sellers_formatter", {"FormattedBestSellersExport", "format_best_sellers_export"});
    bind_names(m, "pelorin.keepa.category_formatter", {"FormattedCategoryExport", "format_category_export"});
    bind_names(m, "pelorin.keepa.config", {"KeepaSettings", "load_settings"});
    bind_names(m, "pelorin.keepa.deal_formatter", {"FormattedDealExport", "format_deal_export"});
    bind_names(m, "pelorin.keepa.domain.exceptions", {"KeepaApiError", "KeepaConfigError", "KeepaError", "KeepaQuotaError"});
    bind_names(m, "pelorin.keepa.domain.models", {"KeepaExportResult", "KeepaScenarioRequest", "KeepaScenarioResult"});
    bind_names(m, "pelorin.keepa.export", {"export_response_to_json", "export_rows_to_xlsx"});
    bind_names(m, "pelorin.keepa.lightning_deal_formatter", {"FormattedLightningDealExport", "format_lightning_deal_export"});
    bind_names(m, "pelorin.keepa.product_formatter", {"FormattedProductExport", "format_product_export"});
    bind_names(m, "pelorin.keepa.search_insights_formatter", {"FormattedSearchInsightsExport", "format_search_insights_export"});
    bind_names(m, "pelorin.keepa.seller_formatter", {"FormattedSellerExport", "format_seller_export"});
    bind_names(m, "pelorin.keepa.time", {"add_keepa_time_conversions"});
    bind_names(m, "pelorin.shared.file_uploads", {"FileUploadClient", "FileUploadError"});

    m.attr("logger") = m.attr("logging").attr("getLogger")(m.attr("__name__"));

    // _FormattedResponseExports: a data class of the seven formatter results.
    {
        py::object cls = pysem::make_class(m, "_FormattedResponseExports", "汇总一次 Keepa 响应的专用 formatter 结果并统一选择主表/附加表。");
        py::dict annotations;
        std::pair<const char *, const char *> fields[] = {
            {"product", "FormattedProductExport"},
            {"category", "FormattedCategoryExport"},
            {"seller", "FormattedSellerExport"},
            {"lightning", "FormattedLightningDealExport"},
            {"search_insights", "FormattedSearchInsightsExport"},
            {"best_sellers", "FormattedBestSellersExport"},
            {"deal", "FormattedDealExport"},
        };
        for (auto [field, type] : fields) {
            annotations[field] = pysem::steal(PyNumber_Or(m.attr(type).ptr(), Py_None));
            cls.attr(field) = py::none();
        }
        cls.attr("__annotations__") = annotations;
        pysem::def_method(cls, "primary_rows", [](py::object self) { return primary_rows(self); },
                   py::doc("按场景互斥关系返回专用 formatter 的主表行，未格式化时返回空。"));
        pysem::def_method(cls, "extra_sheets", [](py::object self) { return extra_sheets(self); },
                   py::doc("合并所有专用 formatter 的非空附加表。"));
        m.attr("_FormattedResponseExports") = m.attr("dataclass")(cls);
    }

    // KeepaBrondic
    {
        py::object cls = pysem::make_class(m, "KeepaBrondic", "执行 Keepa API 场景并保存请求和响应数据。");
        cls.attr("__init__") = pysem::c_method(&brondic_init_def, m.attr("__name__"));
        pysem::def_method(cls, "scenarios", [](py::object self) { return scenarios(self); }, py::doc("列出支持的接口场景。"));
        aio::def_method(cls, "token_status", [](py::object self) { return token_status(self); },
                        py::doc("读取 Keepa API token 状态。"));
        aio::def_method(cls, "run", [](py::object self, py::object request) { return run(self, request); },
                        py::arg("request"), py::doc("执行一个 Keepa API 场景。"));
        pysem::def_method(cls, "job_status", [](py::object self, py::object job_id) { return job_status(self, job_id); },
                   py::arg("job_id"), py::doc("读取已落盘任务状态。"));
        pysem::def_method(
            cls, "_build_root_dir",
            [](py::object self, py::object request, py::object job_id) { return build_root_dir(self, request, job_id); },
            py::arg("request"), py::arg("job_id"));
        pysem::def_method(
            cls, "_submit_collection_result",
            [](py::object self, py::object request, py::object result) { submit_collection_result(self, request, result); },
            py::kw_only(), py::arg("request"), py::arg("result"),
            py::doc("提交成功任务；沉淀异常不能回滚已经完成的 Keepa 采集。"));
        m.attr("KeepaBrondic") = cls;
    }

    // Module functions, in the order of the Python module.
    m.def("_provider_supports_rotation", [](py::object provider) { return provider_supports_rotation(provider); },
          py::arg("provider"));
    m.def("_get_provider_credential",
          [](py::object provider, py::object attempted) { return get_provider_credential(provider, attempted); },
          py::arg("provider"), py::arg("attempted_account_ids"));
    m.def("_report_provider_success",
          [](py::object provider, py::object credential, py::object quota) { report_provider_success(provider, credential, quota); },
          py::arg("provider"), py::arg("credential"), py::arg("quota"));
    m.def("_report_provider_failure",
          [](py::object provider, py::object credential, py::object exc, py::object quota) {
              report_provider_failure(provider, credential, exc, quota);
          },
          py::arg("provider"), py::arg("credential"), py::arg("exc"), py::kw_only(), py::arg("quota") = py::none());
    m.def("_can_rotate_credential",
          [](py::object provider, py::object credential, py::object exc) { return can_rotate_credential(provider, credential, exc); },
          py::arg("provider"), py::arg("credential"), py::arg("exc"));
    m.def("extract_quota", [](py::object payload) { return rows::extract_quota(payload); }, py::arg("payload"),
          py::doc("提取 Keepa 响应中的额度字段。"));
    m.def("extract_rows", [](py::object payload) { return rows::extract_rows(payload); }, py::arg("payload"),
          py::doc("从 Keepa 原始响应中提取主要结果列表。"));
    m.def("raw_response_to_export_rows", [](py::object payload) { return rows::raw_response_to_export_rows(payload); },
          py::arg("payload"), py::doc("将 Keepa 原始响应转换成 XLSX 行，尽量保留 API 返回的全部顶层 JSON 字段。"));
    m.def("_primary_row_items", [](py::object payload) { return rows::primary_row_items(payload); }, py::arg("payload"));
    m.def("_rows_from_response_value",
          [](py::object key, py::object value) { return rows::rows_from_response_value(key, value); }, py::arg("key"),
          py::arg("value"));
    m.def("_scalar_item_field", [](py::object key) { return rows::scalar_item_field(key); }, py::arg("row_source_key"));
    m.def("_search_insights_query_name", [](py::object params) { return rows::search_insights_query_name(params); },
          py::arg("params"));
    aio::def(m, "_safe_token_status",
             [](py::object client, py::object warnings) {
                 return safe_token_status(client, pysem::exact_list(warnings, "warnings"));
             },
             py::arg("client"), py::arg("warnings"));
    m.def("_append_token_status_warning",
          [](py::object warnings, py::object exc) { append_token_status_warning(warnings, exc); }, py::arg("warnings"),
          py::arg("exc"));
    m.def("_build_quota_warning",
          [](py::object before_quota, py::object estimated_tokens, py::object reserve_tokens) {
              return build_quota_warning(before_quota, estimated_tokens, reserve_tokens);
          },
          py::kw_only(), py::arg("before_quota"), py::arg("estimated_tokens"), py::arg("reserve_tokens"));
    aio::def(m, "_wait_for_refill",
             [](py::object client, py::object before_quota, py::object warnings) {
                 py::dict figures = pysem::exact_dict(before_quota, "before_quota");
                 return wait_for_refill(client, figures, pysem::exact_list(warnings, "warnings"));
             },
             py::arg("client"), py::arg("before_quota"), py::arg("warnings"));
    m.def("_quota_error", [](py::object warning) { return quota_error(warning); }, py::arg("quota_warning"),
          py::doc("把额度预检查结果转换为稳定、可重试的 Keepa 错误。"));
    m.def("_params_payload",
          [](py::object request, py::object scenario, py::object normalized_params, py::object account,
             py::object estimated_tokens, py::object reserve_tokens, py::object before_quota) {
              return params_payload(request, scenario, normalized_params, account, estimated_tokens, reserve_tokens,
                                    before_quota);
          },
          py::kw_only(), py::arg("request"), py::arg("scenario"), py::arg("normalized_params"), py::arg("account"),
          py::arg("estimated_tokens"), py::arg("reserve_tokens"), py::arg("before_quota") = py::none());
    m.def("_build_job_id", [](py::object request, py::object site) { return naming::build_job_id(request, site); },
          py::arg("request"), py::arg("site"));
    m.def("_scenario_label", [](py::object scenario) { return naming::scenario_label(scenario); }, py::arg("scenario"));
    m.def("_build_target_label",
          [](py::object scenario, py::object params) { return naming::build_target_label(scenario, params); },
          py::arg("scenario"), py::arg("params"));
    m.def("_first", [](py::object value) { return naming::first(value); }, py::arg("value"));
    m.def("_camel_case", [](py::object value) { return naming::camel_case(value); }, py::arg("value"));
    m.def("_sanitize_filename_part", [](py::object value) { return naming::sanitize_filename_part(value); },
          py::arg("value"));
    m.def("_normalize_export_format", [](py::object value) { return normalize_export_format(value); }, py::arg("value"));
    m.def("_upload_export_if_enabled",
          [](py::object export_, py::object job_id, py::object scenario, py::object site, py::object warnings,
             py::object jwt, py::object session_id) {
              upload_export_if_enabled(export_, job_id, scenario, site, warnings, jwt, session_id);
          },
          py::kw_only(), py::arg("export"), py::arg("job_id"), py::arg("scenario"), py::arg("site"), py::arg("warnings"),
          py::arg("jwt") = py::none(), py::arg("session_id") = py::none());
    m.def("_write_json", [](py::object path, py::object payload) { write_json(path, payload); }, py::arg("path"),
          py::arg("payload"));
}
