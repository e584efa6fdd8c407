// `velkin._native.compare_runs`: converts the runs with the interpreter lock
// held, compares them with the lock released, and exports the suite report.
#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "compare/compare.hpp"
#include "compare/pairing.hpp"
#include "compare/parallel.hpp"
#include "compare/run_files.hpp"
#include "diff/response.hpp"
#include "native/binding.hpp"
#include "native/compare_binding.hpp"
#include "native/interruptible.hpp"
#include "native/json_text.hpp"
#include "native/suite_document.hpp"
#include "native/threads.hpp"
#include "platform/memory.hpp"
#include "python/args.hpp"
#include "python/collector.hpp"
#include "python/convert.hpp"
#include "python/dict_sink.hpp"
#include "python/errors.hpp"
#include "python/strings.hpp"

namespace velkin::native {

namespace {

using python::checked;
using python::PythonErrorSet;
using python::Ref;

// Records converted between two looks for a pending Ctrl-C: a few milliseconds' work.
constexpr Py_ssize_t SIGNAL_CHECK_RECORDS = 4096;

Ref report_dict(const compare::SuiteReport& report, Listed listed) {
    python::DictSink<python::OnFailure::Raise> dict;
    suite_document(dict, report, listed);
    return dict.take();
}

// Conversations written per slice of the text: enough slices to keep every thread busy to the end.
constexpr size_t CONVERSATIONS_PER_SLICE = 256;

// The report's JSON text as UTF-8 bytes. The conversations are nearly all of it: slices of them are
// written on every thread with the lock released, and the pieces are copied once, in order, into the bytes.
Ref report_text(const compare::SuiteReport& report, unsigned threads) {
    JsonText text;
    {
        LockReleased released;
        suite_document(text, report, [&](JsonText& list) {
            const std::vector<compare::ConversationResult>& all = report.conversations;
            list.begin_array(all.size());
            const size_t slices = (all.size() + CONVERSATIONS_PER_SLICE - 1) / CONVERSATIONS_PER_SLICE;
            std::vector<JsonText> written;
            for (size_t slice = 0; slice < slices; ++slice) written.emplace_back(2, slice == 0);
            compare::parallel_for(slices, threads, [&](size_t slice) {
                const size_t end = std::min(all.size(), (slice + 1) * CONVERSATIONS_PER_SLICE);
                for (size_t i = slice * CONVERSATIONS_PER_SLICE; i < end; ++i)
                    suite::conversation(written[slice], all[i]);
            });
            list.splice(written);
            list.end_array();
        });
    }
    std::vector<std::string> pieces = text.take_pieces();
    size_t size = 0;
    for (const std::string& piece : pieces) size += piece.size();
    Ref bytes = checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    char* into = PyBytes_AS_STRING(bytes.get());
    for (std::string& piece : pieces) {
        into = std::copy(piece.begin(), piece.end(), into);
        std::string().swap(piece);
    }
    return bytes;
}

// What the call returns: the report's dict, listed as asked; with `json`, its JSON text as UTF-8 bytes
// beside the dict of the conversations that regressed, which is all the command reads of it besides the text.
PyObject* returned(const compare::SuiteReport& report, bool json, Listed listed, unsigned threads) {
    python::CollectorPaused paused;
    if (!json) return report_dict(report, listed).release();
    Ref bytes = report_text(report, threads);
    Ref dict = report_dict(report, Listed::Regressed);
    return checked(PyTuple_Pack(2, bytes.get(), dict.get())).release();
}

std::optional<std::string> optional_text(PyObject* object, const char* name) {
    if (!object || object == Py_None) return std::nullopt;
    if (!PyUnicode_Check(object)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected str or None, got %s", name, Py_TYPE(object)->tp_name);
        throw PythonErrorSet{};
    }
    return python::utf8_lossy(object);
}

Listed listed_findings(const std::optional<std::string>& findings) {
    if (!findings || *findings == "all") return Listed::All;
    if (*findings == "changed") return Listed::ChangedFindings;
    python::throw_value_error("argument 'findings': expected 'all' or 'changed'");
}

// What the conversion builds of a record; keep_what_is_read prunes the few
// records whose payload comes before their kind.
python::RecordParts parts_read(bool requests_read) {
    python::RecordParts parts;
    for (size_t kind = 0; kind < agentlog::KIND_COUNT; ++kind)
        parts.whole_payloads.set(kind, compare::payload_read(static_cast<agentlog::Kind>(kind), requests_read));
    return parts;
}

// The files of a run given as a tuple of paths, to be read without the lock.
compare::RunFiles files_of(PyObject* run, const char* name, Py_ssize_t number) {
    compare::RunFiles files;
    for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(run); ++j) {
        PyObject* path = PyTuple_GET_ITEM(run, j);
        Py_ssize_t size = 0;
        const char* text = PyUnicode_Check(path) ? PyUnicode_AsUTF8AndSize(path, &size) : nullptr;
        if (!text) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_TypeError, "argument '%s': run %zd holds a '%s', expected the path of a file", name,
                             number, Py_TYPE(path)->tp_name);
            throw PythonErrorSet{};
        }
        files.paths.emplace_back(text, static_cast<size_t>(size));
    }
    return files;
}

// A run is a list of records, or a tuple of paths whose files `files` collects, leaving its run empty.
std::vector<compare::Run> runs_of(PyObject* runs, const char* name, bool requests_read,
                                  std::vector<compare::RunFiles>& files) {
    python::require_list(runs, name);
    const python::RecordParts parts = parts_read(requests_read);
    std::vector<compare::Run> converted;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(runs); ++i) {
        Ref run = Ref::borrow(PyList_GET_ITEM(runs, i));
        if (PyTuple_Check(run.get())) {
            files.push_back(files_of(run.get(), name, i + 1));
            files.back().run = static_cast<size_t>(i);
            converted.emplace_back();
            continue;
        }
        if (!PyList_Check(run.get())) {
            PyErr_Format(PyExc_TypeError, "argument '%s': run %zd is a '%s', expected a list of records", name, i + 1,
                         Py_TYPE(run.get())->tp_name);
            throw PythonErrorSet{};
        }
        compare::Run records;
        records.reserve(static_cast<size_t>(PyList_GET_SIZE(run.get())));
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(run.get()); ++j) {
            Ref item = Ref::borrow(PyList_GET_ITEM(run.get(), j));
            Result<agentlog::Record> record = python::to_record(item.get(), parts);
            if (!record)
                python::throw_value_error(std::string(name) + " run " + std::to_string(i + 1) + ", record " +
                                          std::to_string(j + 1) + ": " + record.error().message);
            records.push_back(std::move(record).value());
            compare::keep_what_is_read(records.back(), requests_read);
        }
        converted.push_back(std::move(records));
    }
    return converted;
}

// Two passes ------------------------------------------------------------------
//
// Conversion needs the interpreter lock and comparison does not, and the
// responses' payloads are nearly all of a run. So the first pass converts every
// record but the responses, and of a response only the envelope that grouping
// and pairing read; once the runs are paired, the thread holding the lock
// converts each key's responses, key after key, while the comparison's threads
// compare the keys already complete. Any failure, and any response whose
// envelope reads differently the second time, sends the call down the one-pass
// road, which reports a failure exactly as it always has.

struct EnvelopeKeys {
    Ref kind = checked(PyUnicode_InternFromString("kind"));
    Ref id = checked(PyUnicode_InternFromString("id"));
    Ref parent = checked(PyUnicode_InternFromString("parent"));
    Ref meta = checked(PyUnicode_InternFromString("meta"));
};

std::optional<std::string> exact_str_text(PyObject* object) {
    std::string_view text;
    if (!object || !PyUnicode_CheckExact(object)) return std::nullopt;
    if (!python::str_utf8(object, text)) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string(text);
}

// The envelope of a chat_response read straight from a plain record (an exact
// dict with str keys, a str id, a str or None parent, meta absent or a dict),
// its payload left for later; nothing for any other record.
std::optional<agentlog::Record> response_envelope(PyObject* item, const EnvelopeKeys& keys) {
    if (!PyDict_CheckExact(item)) return std::nullopt;
    PyObject* kind = PyDict_GetItemWithError(item, keys.kind.get());
    if (!kind || !PyUnicode_CheckExact(kind) || PyUnicode_CompareWithASCIIString(kind, "chat_response") != 0 ||
        !python::has_only_exact_str_keys(item)) {
        PyErr_Clear();
        return std::nullopt;
    }
    agentlog::Record record;
    record.kind = agentlog::Kind::ChatResponse;
    std::optional<std::string> id = exact_str_text(PyDict_GetItemWithError(item, keys.id.get()));
    if (!id) return std::nullopt;
    record.id = std::move(*id);
    PyObject* parent = PyDict_GetItemWithError(item, keys.parent.get());
    if (parent && parent != Py_None) {
        record.parent = exact_str_text(parent);
        if (!record.parent) return std::nullopt;
    }
    if (PyObject* meta = PyDict_GetItemWithError(item, keys.meta.get()); meta && meta != Py_None) {
        if (!PyDict_CheckExact(meta)) return std::nullopt;
        Result<json::Value> value = python::to_json(meta);
        if (!value) {
            PyErr_Clear();
            return std::nullopt;
        }
        record.meta = std::move(value).value();
    }
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return record;
}

bool same_envelope(const agentlog::Record& a, const agentlog::Record& b) {
    return a.kind == b.kind && a.id == b.id && a.parent == b.parent && a.meta.has_value() == b.meta.has_value() &&
           (!a.meta || json::deep_equal(*a.meta, *b.meta));
}

// Hands each run and then each key's records from the thread holding the
// lock to the threads comparing.
class ResponseFeed final : public compare::RecordFeed {
public:
    explicit ResponseFeed(size_t runs) : runs_(runs) {}

    std::optional<compare::Run> run(size_t r) override {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [&] { return runs_read_ > r || stopped_; });
        if (stopped_) return std::nullopt;
        return std::move(runs_[r]);
    }
    void paired(std::vector<std::vector<Holder>> keys) override {
        std::lock_guard<std::mutex> guard(lock_);
        keys_ = std::move(keys);
        paired_ = true;
        changed_.notify_all();
    }
    bool ready(size_t key) override {
        std::unique_lock<std::mutex> guard(lock_);
        requested_ = std::max(requested_, key + 1);
        if (requested_ >= convert_from_) changed_.notify_all();
        changed_.wait(guard, [&] { return completed_ > key || stopped_; });
        return !stopped_;
    }
    void compared(size_t key) override {
        std::lock_guard<std::mutex> guard(lock_);
        compared_.push_back(key);
    }

    // The filling thread: runs in order, then the keys.
    void give_run(size_t r, compare::Run records) {
        std::lock_guard<std::mutex> guard(lock_);
        runs_[r] = std::move(records);
        runs_read_ = r + 1;
        changed_.notify_all();
    }
    // False when the comparison ended before pairing.
    bool wait_for_keys() {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [&] { return paired_ || stopped_; });
        return paired_ && !stopped_;
    }
    const std::vector<std::vector<Holder>>& keys() const { return keys_; }
    bool stopped() {
        std::lock_guard<std::mutex> guard(lock_);
        return stopped_;
    }
    // Holds the conversion at most KEYS_AHEAD keys ahead of the comparison, so
    // that the converted records of only so many keys are held at once. Once
    // held, it waits for room for CONVERT_BATCH keys: woken for every key the
    // comparison starts, the thread would switch in and out once per key.
    void wait_to_convert(size_t key) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (key < requested_ + KEYS_AHEAD || stopped_) return;
            convert_from_ = key + CONVERT_BATCH - KEYS_AHEAD;
        }
        LockReleased released;
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [&] { return requested_ >= convert_from_ || stopped_; });
        convert_from_ = 0;
    }
    // The keys compared since the last call: their records are read no more.
    std::vector<size_t> take_compared() {
        std::vector<size_t> taken;
        std::lock_guard<std::mutex> guard(lock_);
        taken.swap(compared_);
        return taken;
    }
    void complete(size_t key) {
        std::lock_guard<std::mutex> guard(lock_);
        completed_ = key + 1;
        changed_.notify_all();
    }
    void stop() {
        std::lock_guard<std::mutex> guard(lock_);
        stopped_ = true;
        changed_.notify_all();
    }
    // Waits until the filling thread is done with the conversations.
    void close() override {
        std::unique_lock<std::mutex> guard(lock_);
        stopped_ = true;
        changed_.notify_all();
        changed_.wait(guard, [&] { return filled_; });
    }
    void filling_done() {
        std::lock_guard<std::mutex> guard(lock_);
        filled_ = true;
        changed_.notify_all();
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<compare::Run> runs_;
    size_t runs_read_ = 0;
    std::vector<std::vector<Holder>> keys_;
    static constexpr size_t KEYS_AHEAD = 256;
    static constexpr size_t CONVERT_BATCH = 64;
    bool paired_ = false, stopped_ = false, filled_ = false;
    size_t completed_ = 0;     // keys converted
    size_t requested_ = 0;     // keys the comparison has started on
    size_t convert_from_ = 0;  // the requested_ count that wakes the waiting conversion
    std::vector<size_t> compared_;
};

// Converts the responses of every key in key order; false at the first
// failure or changed envelope.
bool fill_responses(ResponseFeed& feed, const std::vector<Ref>& lists, const std::vector<std::vector<bool>>& pending,
                    bool requests_read) {
    const auto& keys = feed.keys();
    const python::RecordParts parts = parts_read(requests_read);
    for (size_t key = 0; key < keys.size(); ++key) {
        if (PyErr_CheckSignals() < 0) throw PythonErrorSet{};
        feed.wait_to_convert(key);
        if (feed.stopped()) return false;
        // This thread built the records, so its allocator takes them back
        // cheaply and hands the memory to the next keys' records.
        for (size_t compared : feed.take_compared()) {
            for (const compare::RecordFeed::Holder& holder : keys[compared])
                for (agentlog::Record& record : holder.conversation->records) record = agentlog::Record{};
        }
        for (const compare::RecordFeed::Holder& holder : keys[key]) {
            compare::Conversation& conversation = *holder.conversation;
            PyObject* list = lists[holder.run].get();
            for (size_t j = 0; j < conversation.records.size(); ++j) {
                const size_t position = conversation.positions[j];
                if (!pending[holder.run][position]) continue;
                if (static_cast<Py_ssize_t>(position) >= PyList_GET_SIZE(list)) return false;
                Ref item = Ref::borrow(PyList_GET_ITEM(list, static_cast<Py_ssize_t>(position)));
                if (python::read_response_payload(item.get(), conversation.records[j], parts)) {
                    compare::keep_what_is_read(conversation.records[j], requests_read);
                    continue;
                }
                Result<agentlog::Record> record = python::to_record(item.get(), parts);
                if (!record || !same_envelope(record.value(), conversation.records[j])) return false;
                compare::keep_what_is_read(record.value(), requests_read);
                conversation.records[j] = std::move(record).value();
            }
        }
        feed.complete(key);
    }
    return true;
}

// The first pass: hands over each run with its responses' envelopes only;
// false at the first record that fails.
bool read_envelopes(ResponseFeed& feed, const std::vector<Ref>& lists, std::vector<std::vector<bool>>& pending,
                    bool requests_read) {
    EnvelopeKeys keys;
    const python::RecordParts parts = parts_read(requests_read);
    for (size_t r = 0; r < lists.size(); ++r) {
        PyObject* list = lists[r].get();
        compare::Run records;
        records.reserve(static_cast<size_t>(PyList_GET_SIZE(list)));
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(list); ++j) {
            if (j % SIGNAL_CHECK_RECORDS == 0 && PyErr_CheckSignals() < 0) throw PythonErrorSet{};
            Ref item = Ref::borrow(PyList_GET_ITEM(list, j));
            if (std::optional<agentlog::Record> envelope = response_envelope(item.get(), keys)) {
                records.push_back(std::move(*envelope));
                pending[r].push_back(true);
                continue;
            }
            Result<agentlog::Record> record = python::to_record(item.get(), parts);
            if (!record) return false;
            records.push_back(std::move(record).value());
            compare::keep_what_is_read(records.back(), requests_read);
            pending[r].push_back(false);
        }
        feed.give_run(r, std::move(records));
    }
    return true;
}

// The comparison by two passes, or nothing when the call must take the one-pass road.
std::optional<compare::SuiteReport> compare_in_two_passes(PyObject* baseline_arg, PyObject* candidate_arg,
                                                          const compare::Options& options, bool requests_read) {
    std::vector<Ref> lists;  // every run, baseline first
    size_t baseline_runs = 0;
    for (PyObject* side : {baseline_arg, candidate_arg}) {
        if (!PyList_Check(side)) return std::nullopt;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(side); ++i) {
            Ref run = Ref::borrow(PyList_GET_ITEM(side, i));
            if (!PyList_Check(run.get())) return std::nullopt;
            lists.push_back(std::move(run));
        }
        if (side == baseline_arg) baseline_runs = lists.size();
    }
    // The runs are only counted here: the feed hands them over once read.
    std::vector<compare::Run> baseline(baseline_runs), candidate(lists.size() - baseline_runs);
    std::vector<std::vector<bool>> pending(lists.size());  // per run and record: its payload still to convert
    ResponseFeed feed(lists.size());
    std::optional<Result<compare::SuiteReport>> compared;
    std::exception_ptr failure;
    // Ctrl-C sets the flag the comparison's threads poll, so that they unwind at once.
    platform::StopFlag stop{false};
    std::promise<void> ended;
    std::future<void> ending = ended.get_future();
    std::thread comparing([&] {
        platform::StopScope scope(&stop);
        try {
            compared.emplace(compare::compare_runs(std::move(baseline), std::move(candidate), options, &feed));
        } catch (...) {
            failure = std::current_exception();
        }
        ended.set_value();
    });
    bool filled = false;
    try {
        bool paired = read_envelopes(feed, lists, pending, requests_read);
        if (paired) {
            LockReleased released;
            paired = feed.wait_for_keys();
        }
        filled = paired && fill_responses(feed, lists, pending, requests_read);
    } catch (...) {
        stop = true;
        feed.stop();
        feed.filling_done();
        LockReleased released;
        comparing.join();
        throw;
    }
    if (!filled) feed.stop();
    feed.filling_done();
    // The signal handlers run only in this thread, holding the lock: it takes the lock back between waits.
    for (;;) {
        {
            LockReleased released;
            if (ending.wait_for(SIGNAL_CHECK_INTERVAL) == std::future_status::ready) break;
        }
        if (PyErr_CheckSignals() < 0) {
            stop = true;
            LockReleased released;
            comparing.join();
            throw PythonErrorSet{};
        }
    }
    {
        LockReleased released;
        comparing.join();
    }
    if (failure) std::rethrow_exception(failure);
    if (PyErr_Occurred()) PyErr_Clear();
    if (!filled || !compared || !*compared) return std::nullopt;
    return std::move(*compared).value();
}

}  // namespace

PyObject* compare_runs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return python::guarded([&] {
        static const char* const parameters[] = {"baseline", "candidate", "key",         "outcome", "pricing",
                                                 "seed",     "threads",   "key_pattern", "json",    "findings"};
        std::array<PyObject*, 10> bound{};
        python::bind_arguments(python::Signature{"compare_runs", parameters, 2}, args, nargs, kwnames, bound);
        auto [baseline_arg, candidate_arg, key_arg, outcome_arg, pricing_arg, seed_arg, threads_arg, key_pattern_arg,
              json_arg, findings_arg] = bound;
        const int json = json_arg ? PyObject_IsTrue(json_arg) : 0;
        if (json < 0) throw PythonErrorSet{};
        const Listed listed = listed_findings(optional_text(findings_arg, "findings"));

        compare::Options options;
        options.key_member = optional_text(key_arg, "key");
        options.key_pattern = optional_text(key_pattern_arg, "key_pattern");
        options.outcome_member = optional_text(outcome_arg, "outcome");
        Result<diff::PricingTable> pricing = python::read_pricing(pricing_arg);
        if (!pricing) python::throw_value_error(pricing.error().message);
        options.pricing = std::move(pricing).value();
        options.seed = python::convert_seed(seed_arg, "seed").value_or(0);
        options.threads = thread_count(threads_arg);
        // Only the default key may be the first user request (with --key position too).
        bool requests_read = !options.key_member || *options.key_member == compare::POSITION_KEY;
        if (std::optional<compare::SuiteReport> report = compare_in_two_passes(baseline_arg, candidate_arg, options,
                                                                               requests_read))
            return returned(*report, json, listed, options.threads);

        std::vector<compare::RunFiles> baseline_files, candidate_files;
        std::vector<compare::Run> baseline = runs_of(baseline_arg, "baseline", requests_read, baseline_files);
        std::vector<compare::Run> candidate = runs_of(candidate_arg, "candidate", requests_read, candidate_files);
        const size_t baseline_runs = baseline.size();
        std::vector<compare::RunFileFeed::Source> sources;
        for (auto* side : {&baseline, &candidate}) {
            for (compare::Run& records : *side) sources.push_back({std::nullopt, std::move(records)});
        }
        for (compare::RunFiles& files : baseline_files) sources[files.run].files = std::move(files);
        for (compare::RunFiles& files : candidate_files) sources[baseline_runs + files.run].files = std::move(files);
        const size_t candidate_runs = sources.size() - baseline_runs;
        const unsigned threads = options.threads;
        auto feed = std::make_unique<compare::RunFileFeed>(std::move(sources), requests_read);
        Result<compare::SuiteReport> compared = interruptible(
            [feed = std::move(feed), baseline_runs, candidate_runs,
             options = std::move(options)]() mutable -> Result<compare::SuiteReport> {
                // Empty: the feed hands each run over as it reads it.
                std::vector<compare::Run> baseline(baseline_runs), candidate(candidate_runs);
                Result<compare::SuiteReport> report = compare::compare_runs(std::move(baseline), std::move(candidate),
                                                                            options, feed.get());
                if (std::optional<std::string> failed = feed->failure()) return Error{std::move(*failed)};
                feed.reset();
                platform::return_free_memory();
                return report;
            },
            Ownership::Owns);
        if (!compared) python::throw_value_error(compared.error().message);
        return returned(compared.value(), json, listed, threads);
    });
}

}  // namespace velkin::native
