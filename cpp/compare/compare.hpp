#pragma once
// Comparing whole runs of an eval suite: conversations paired by key across
// runs, one paired sample per conversation, and tests calibrated against
// baseline replicates.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "compare/conversations.hpp"
#include "compare/engine.hpp"
#include "platform/result.hpp"

namespace velkin::compare {

using Run = std::vector<Record>;

struct Options {
    std::optional<std::string>
        key_member;  // pair by this metadata member; "position": the default key, repeats in order
    std::optional<std::string>
        key_pattern;  // the part of the member's value that pairs: the first group, else the match
    std::optional<std::string> outcome_member;  // else "reward" where conversations carry it
    PricingTable pricing;
    uint64_t seed = 0;
    unsigned threads = 0;  // 0: one per core
};

enum class KeySource : uint8_t { TraceId, Member, FirstRequest };
enum class Status : uint8_t { Paired, BaselineOnly, CandidateOnly };

// The kinds of structural change tested across conversations, each beside
// its mirror image (what swapping the runs of a conversation turns it into);
// Pooled is any change of a kind that makes the candidate worse.
enum class Signature : uint8_t {
    ToolDropped,
    ToolAdded,
    CallsFewer,
    CallsMore,
    CallsReordered,
    ArgumentChanged,
    NewRefusal,
    LostRefusal,
    NewTruncation,
    LostTruncation,
    Pooled
};
inline constexpr size_t SIGNATURE_KINDS = 10;  // without Pooled

// Which way a change moves the candidate. Neutral: a change with no better
// or worse reading by itself (calls reordered, a longer answer, a model switch).
enum class Direction : uint8_t { Worse, Better, Neutral };
Direction signature_direction(Signature signature);
// A statistic that swapping a conversation's two runs leaves as it is (an
// argument changed either way, calls reordered either way) has no reference
// without a second baseline run.
bool needs_replicates(Signature signature);

enum class Level : uint8_t { Error, Warning, Info };

struct Finding {
    std::string kind;  // a signature name, "outcome_lost", or a divergence kind
    Level severity = Level::Info;
    std::string explanation;
    uint64_t baseline_turn = 0;
    uint64_t candidate_turn = 0;
    uint32_t candidate_run = 0;  // which candidate replicate, counted among the candidate runs
    std::string subject;         // the tool, argument or stop reason a signature finding names
    std::optional<Signature> signature;
    std::optional<Direction> outcome;  // every baseline run scores above (Worse) or below (Better) every candidate run
};

struct ConversationResult {
    std::string key;
    Status status = Status::Paired;
    std::vector<uint32_t> baseline_runs, candidate_runs;  // run numbers holding it
    std::vector<std::string> baseline_ids, candidate_ids;
    std::vector<std::optional<double>> baseline_outcomes, candidate_outcomes;
    bool regressed = false;  // a calibrated, significant change for the worse shows here
    bool improved = false;   // likewise for the better
    std::vector<Finding> findings;
};

struct Test {
    bool calibrated = false;
    std::optional<double> p_value, p_adjusted;
    std::optional<double> mc_error;  // the Monte-Carlo standard error of p_adjusted; none when exact
    bool significant = false;
    std::optional<Direction> direction;  // of a significant change
};

struct AxisResult {
    AxisStat stat;
    Test test;
    bool descriptive = false;  // no calibrated reference in this comparison: shown, never tested
    bool priced = true;        // the cost row: some matched pair has both sides priced
};

struct SignatureResult {
    Signature signature = Signature::Pooled;
    uint64_t conversations = 0;           // candidate shows it (any candidate replicate)
    double candidate_rate = 0.0;          // mean share of candidate replicates showing it
    std::optional<double> baseline_rate;  // the same when baseline replicates play the candidate
    Test test;
    bool descriptive = false;
    std::vector<std::pair<std::string, uint64_t>> subjects;  // tools or arguments, most frequent first
};

struct OutcomeResult {
    std::string member;
    uint64_t n = 0;
    double baseline_mean = 0.0, candidate_mean = 0.0, delta = 0.0, ci95_low = 0.0, ci95_high = 0.0;
    Test test;
    std::vector<std::string> lost;    // keys every baseline run solves better than every candidate run
    std::vector<std::string> gained;  // keys every candidate run solves better than every baseline run
};

struct Advice {
    Level severity = Level::Info;
    std::string message;
};

enum class Reference : uint8_t { Relabelling, SignFlip };
enum class Verdict : uint8_t { Regressed, Improved, Mixed, Changed, NoChange };

struct ModelUse {
    std::string model;  // empty: responses that name none
    uint64_t responses = 0;
};

struct Unpriced {
    std::string model;
    uint64_t baseline = 0, candidate = 0;  // responses per side
};

struct SuiteReport {
    bool calibrated = false;
    Reference reference = Reference::Relabelling;
    bool exact = false;  // every relabelling enumerated
    Verdict verdict = Verdict::NoChange;
    uint64_t seed = 0;
    uint32_t baseline_runs = 0, candidate_runs = 0;
    KeySource key_source = KeySource::FirstRequest;
    std::string key_member;
    uint64_t paired = 0, baseline_only = 0, candidate_only = 0;
    uint64_t relabellings = 0;
    std::vector<AxisResult> axes;  // every axis but the judge, in axis order
    std::vector<SignatureResult> signatures;
    std::optional<OutcomeResult> outcome;
    std::vector<ConversationResult> conversations;
    std::vector<Advice> recommendations;
    std::vector<ModelUse> baseline_models, candidate_models;  // most responses first
    bool model_switched = false;
    bool pricing_table = false;
    std::vector<Unpriced> unpriced;
    std::vector<std::string> descriptive;  // statistics without a calibrated reference here
    std::string more_runs;                 // what a second baseline run would calibrate
};

std::string_view signature_name(Signature signature);
std::string_view level_name(Level level);
std::string_view status_name(Status status);
std::string_view key_source_name(KeySource source);
std::string_view reference_name(Reference reference);
std::string_view direction_name(Direction direction);
// "regressed", "improved", "mixed", "changed" or "no significant change".
std::string_view verdict_name(Verdict verdict);

// For a caller that hands over each run as soon as it has read it, and
// completes the records of each key while earlier keys are compared (pairing
// reads only the envelopes, the metadata payloads and the requests). `run(r)`
// is called once per run (numbered baseline first) and returns it, or nothing
// to stop the comparison; the runs passed to compare_runs only count them.
// `paired` is called once, with the runs holding each key as soon as they are
// paired; key i is compared once `ready(i)` returns true, and false stops the
// comparison. `compared(i)` says that key i's records are read no more: the
// caller lets them go (the thread that built records frees them cheaper than
// another). `close` is called however the comparison ends, before the
// conversations go, and returns once the caller no longer touches them. All
// are called from the comparison's threads.
class RecordFeed {
public:
    struct Holder {
        uint32_t run;
        Conversation* conversation;
    };
    virtual ~RecordFeed() = default;
    virtual std::optional<Run> run(size_t r) = 0;
    virtual void paired(std::vector<std::vector<Holder>> keys) = 0;
    virtual bool ready(size_t key) = 0;
    virtual void compared(size_t key) = 0;
    virtual void close() = 0;
};

// Fails on input that cannot be paired (a missing key member, no runs), and
// when a feed stops the comparison.
Result<SuiteReport> compare_runs(std::vector<Run> baseline, std::vector<Run> candidate, const Options& options,
                                 RecordFeed* feed = nullptr);

}  // namespace velkin::compare
