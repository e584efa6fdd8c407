#include "compare/compare.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <map>
#include <set>
#include <unordered_map>

#include "compare/calibration.hpp"
#include "compare/conversations.hpp"
#include "compare/key.hpp"
#include "compare/pairing.hpp"
#include "compare/parallel.hpp"
#include "compare/relabelling.hpp"
#include "compare/verdict.hpp"
#include "compare/wording.hpp"

namespace velkin::compare {

namespace {

constexpr size_t MAX_RUNS_PER_SIDE = 32;
constexpr std::string_view DEFAULT_OUTCOME = "reward";
// Relabellings are drawn in rounds that double the count, from RELABELLINGS,
// until every test's decision stands clear of its Monte-Carlo error or this
// many are drawn; when every combination of labellings numbers at most this
// many, all are enumerated instead and the p-values are exact.
constexpr size_t MAX_RELABELLINGS = 16000;
// Large suites stop doubling sooner: at most this many conversations tallied
// over all relabellings (16,000 relabellings up to 2,500 conversations).
constexpr double MAX_TALLIED = 4e7;
// A decision stands when the 99% Monte-Carlo interval of its adjusted p-value excludes the threshold.
constexpr double DECISION_Z = 2.576;

double mean_of(const std::vector<double>& values) {
    double sum = 0.0;
    for (double value : values) sum += value;
    return values.empty() ? 0.0 : sum / static_cast<double>(values.size());
}

// Numbers each signature's subjects across the suite, in key order, and
// renumbers the labellings' shares accordingly. A work is visited once for
// every kind: each kind's numbers still follow the keys.
using SubjectNumbers = std::array<std::unordered_map<std::string, uint32_t>, SIGNATURE_KINDS>;
SubjectNumbers number_subjects(const std::vector<Work*>& paired) {
    SubjectNumbers numbers;
    std::vector<uint32_t> renumbered;
    for (Work* work : paired) {
        for (size_t s = 0; s < SIGNATURE_KINDS; ++s) {
            renumbered.clear();
            for (const std::string& name : work->subject_names[s])
                renumbered.push_back(numbers[s].emplace(name, static_cast<uint32_t>(numbers[s].size())).first->second);
            if (renumbered.empty()) continue;
            for (Labelling& labelling : work->labellings) {
                for (SubjectShare& share : labelling.subjects[s]) share.subject = renumbered[share.subject];
            }
        }
    }
    return numbers;
}

double binomial_error(double p, size_t draws) { return std::sqrt(p * (1.0 - p) / static_cast<double>(draws)); }

// The Monte-Carlo standard error of a test's adjusted p-value. The adjusted
// value counts the draws whose smallest p-value falls below the test's raw
// one, which is itself estimated from the draws: its error passes on, scaled
// by how steeply the adjusted value grows with it (at most one step per test
// of the family, the Bonferroni bound).
double monte_carlo_error(const Calibration& p, size_t test, size_t tests, size_t draws) {
    const double adjusted = p.adjusted(test), raw = p.raw(test);
    const double slope = std::min(adjusted / raw, static_cast<double>(tests));
    return binomial_error(adjusted, draws) + slope * binomial_error(raw, draws);
}

std::vector<ModelUse> most_used_first(const ModelCounts& counts) {
    std::vector<ModelUse> uses;
    for (const auto& [model, responses] : counts) uses.push_back({model, responses});
    std::stable_sort(uses.begin(), uses.end(),
                     [](const ModelUse& a, const ModelUse& b) { return a.responses > b.responses; });
    return uses;
}

// The models each side's responses name, and whether the candidate's differ:
// a model only one side uses.
void record_models(SuiteReport& report, const std::vector<Work*>& paired) {
    ModelCounts baseline, candidate, baseline_unpriced, candidate_unpriced;
    for (const Work* work : paired) {
        for (const auto& [model, count] : work->baseline_models) baseline[model] += count;
        for (const auto& [model, count] : work->candidate_models) candidate[model] += count;
        for (const auto& [model, count] : work->baseline_unpriced) baseline_unpriced[model] += count;
        for (const auto& [model, count] : work->candidate_unpriced) candidate_unpriced[model] += count;
    }
    report.baseline_models = most_used_first(baseline);
    report.candidate_models = most_used_first(candidate);
    auto named_only_in = [](const ModelCounts& one, const ModelCounts& other) {
        return std::any_of(one.begin(), one.end(),
                           [&](const auto& entry) { return !entry.first.empty() && !other.contains(entry.first); });
    };
    report.model_switched = named_only_in(baseline, candidate) || named_only_in(candidate, baseline);
    std::set<std::string> unpriced;
    for (const auto& [model, count] : baseline_unpriced) unpriced.insert(model);
    for (const auto& [model, count] : candidate_unpriced) unpriced.insert(model);
    for (const std::string& model : unpriced) {
        auto count = [&](const ModelCounts& counts) {
            auto found = counts.find(model);
            return found == counts.end() ? uint64_t{0} : found->second;
        };
        report.unpriced.push_back({model, count(baseline_unpriced), count(candidate_unpriced)});
    }
}

std::string nothing_paired(const SuiteReport& report, const Pairing& pairing) {
    std::string by = pairing.source == KeySource::Member    ? "the metadata member " + quoted(pairing.member)
                     : pairing.source == KeySource::TraceId ? std::string("trace id")
                                                            : std::string("the first user request");
    return "no conversation of the candidate runs pairs with one of the baseline runs (" +
           std::to_string(report.baseline_only) + " only in the baseline, " + std::to_string(report.candidate_only) +
           " only in the candidate, paired by " + by +
           "): pair them by a member their metadata share with --key MEMBER, or import them with `velkin import` "
           "so that they carry their task identifiers";
}

// Per signature: the conversations and the share of candidate runs showing
// it, and its subjects, most conversations first.
void summarise_signatures(SuiteReport& report, const std::vector<Work*>& paired) {
    const size_t n = paired.size();
    report.signatures.resize(SIGNATURES);
    std::array<std::map<std::string, uint64_t>, SIGNATURES> subject_counts;
    // Each work read once: every signature's sum still grows in key order.
    std::array<double, SIGNATURES> sums{};
    for (Work* work : paired) {
        const std::array<double, SIGNATURES>& shares = work->labellings.front().signatures;
        for (size_t s = 0; s < SIGNATURES; ++s) {
            sums[s] += shares[s];
            report.signatures[s].conversations += shares[s] > 0.0 ? 1 : 0;
        }
    }
    for (size_t s = 0; s < SIGNATURES; ++s) {
        SignatureResult& signature = report.signatures[s];
        signature.signature = static_cast<Signature>(s);
        signature.candidate_rate = sums[s] / static_cast<double>(n);
    }
    for (Work* work : paired) {
        std::array<std::set<std::string>, SIGNATURES> seen;
        for (const Finding& finding : work->result.findings) {
            if (!finding.signature) continue;
            seen[static_cast<size_t>(*finding.signature)].insert(finding.subject);
            if (signature_direction(*finding.signature) == Direction::Worse)
                seen[SIGNATURE_KINDS].insert(finding.subject);
        }
        for (size_t s = 0; s < SIGNATURES; ++s) {
            for (const std::string& subject : seen[s]) ++subject_counts[s][subject];
        }
    }
    for (size_t s = 0; s < SIGNATURES; ++s) {
        auto& subjects = report.signatures[s].subjects;
        subjects.assign(subject_counts[s].begin(), subject_counts[s].end());
        std::stable_sort(subjects.begin(), subjects.end(),
                         [](const auto& a, const auto& b) { return a.second > b.second; });
    }
}

// Relabellings, drawn in rounds that double their count while a decision
// lies within the Monte-Carlo error of the threshold; all of them when they
// are enumerated. `beside` runs beside the first round.
Calibration draw_until_settled(const PackedSuite& suite, const Draws& draws, const Observed& observed,
                               const std::vector<Tail>& tails, unsigned threads, Relabelled& relabelled,
                               const std::function<void()>& beside) {
    const size_t n = suite.counts.size(), tests = tails.size();
    size_t drawn = draws.exact ? *exact_rows(suite.counts, MAX_RELABELLINGS) : RELABELLINGS;
    relabel(suite, draws, 0, drawn, threads, relabelled, beside);
    for (;;) {
        Calibration p(observed.statistics, relabelled.null, tails);
        if (draws.exact || drawn >= MAX_RELABELLINGS || 2.0 * static_cast<double>(drawn * n) > MAX_TALLIED) return p;
        bool settled = true;
        for (size_t t = 0; t < tests; ++t) {
            settled = settled &&
                      std::fabs(p.adjusted(t) - FAMILY_ALPHA) > DECISION_Z * monte_carlo_error(p, t, tests, drawn + 1);
        }
        if (settled) return p;
        const size_t more = std::min(drawn, MAX_RELABELLINGS - drawn);
        relabel(suite, draws, drawn, more, threads, relabelled, [] {});
        drawn += more;
    }
}

// The statistics that have no reference without a second baseline run.
void record_descriptive(SuiteReport& report) {
    if (report.reference != Reference::SignFlip) return;
    for (AxisResult& axis : report.axes) {
        if (axis.stat.axis != Axis::Semantic && axis.stat.axis != Axis::Trajectory) continue;
        axis.descriptive = true;
        report.descriptive.emplace_back(compare::axis_name(axis.stat.axis));
    }
    for (SignatureResult& signature : report.signatures) {
        if (!needs_replicates(signature.signature)) continue;
        signature.descriptive = true;
        report.descriptive.emplace_back(signature_name(signature.signature));
    }
    report.more_runs =
        "With one run per side, runs are swapped conversation by conversation to calibrate every directional "
        "statistic; text similarity, trajectory distance, changed arguments and reordered calls are shown as "
        "measured but not tested, since two runs of an unchanged agent differ by an unknown amount. Run the "
        "baseline agent again and pass both runs to --baseline to calibrate them too.";
}

}  // namespace

Result<SuiteReport> compare_runs(std::vector<Run> baseline, std::vector<Run> candidate, const Options& options,
                                 RecordFeed* feed) {
    std::vector<std::vector<Conversation>> runs(baseline.size() + candidate.size());
    std::vector<Run> all;  // every run's records, which its conversations view
    // However this ends, even on bad input, the feed's caller is done writing
    // into the conversations before they go.
    struct CloseFeed {
        RecordFeed* feed;
        ~CloseFeed() {
            if (feed) feed->close();
        }
    } close_feed{feed};
    if (baseline.empty()) return Error{"no baseline runs"};
    if (candidate.empty()) return Error{"no candidate runs"};
    if (baseline.size() > MAX_RUNS_PER_SIDE || candidate.size() > MAX_RUNS_PER_SIDE)
        return Error{"at most " + std::to_string(MAX_RUNS_PER_SIDE) + " runs per side"};

    SuiteReport report;
    report.seed = options.seed;
    report.baseline_runs = static_cast<uint32_t>(baseline.size());
    report.candidate_runs = static_cast<uint32_t>(candidate.size());
    report.pricing_table = !options.pricing.empty();

    all = std::move(baseline);
    for (Run& run : candidate) all.push_back(std::move(run));
    // A run is grouped while the caller of a feed reads the next.
    std::atomic<bool> unread{false};
    parallel_for(all.size(), options.threads, [&](size_t r) {
        if (feed) {
            std::optional<Run> read = feed->run(r);
            if (!read) {
                unread = true;
                return;
            }
            all[r] = std::move(*read);
        }
        runs[r] = group_conversations(all[r]);
    });
    if (unread) return Error{"the comparison was stopped before every run was read"};

    Result<Pairing> paired_up = pair_conversations(runs, report.baseline_runs, options);
    if (!paired_up) return paired_up.take_error();
    Pairing pairing = std::move(paired_up).value();
    report.key_source = pairing.source;
    report.key_member = pairing.member;
    for (const KeyEntry& entry : pairing.entries) {
        report.paired += !entry.baseline.empty() && !entry.candidate.empty() ? 1 : 0;
        report.baseline_only += entry.candidate.empty() ? 1 : 0;
        report.candidate_only += entry.baseline.empty() ? 1 : 0;
    }
    if (report.paired == 0) return Error{nothing_paired(report, pairing)};

    Context context{options, "", false};
    if (options.outcome_member) {
        context.outcome_member = *options.outcome_member;
    } else {
        for (const auto& conversations : runs) {
            for (const Conversation& conversation : conversations) {
                if (context.outcome_member.empty() && metadata_member(conversation, DEFAULT_OUTCOME))
                    context.outcome_member = DEFAULT_OUTCOME;
            }
        }
    }
    for (const KeyEntry& entry : pairing.entries) {
        if (!entry.candidate.empty() && entry.baseline.size() >= 2) context.replicated = true;
    }
    report.calibrated = true;
    report.reference = context.replicated ? Reference::Relabelling : Reference::SignFlip;

    if (feed) {
        std::vector<std::vector<RecordFeed::Holder>> keys;
        keys.reserve(pairing.entries.size());
        for (const KeyEntry& entry : pairing.entries) {
            std::vector<RecordFeed::Holder>& holders = keys.emplace_back();
            for (const auto* sides : {&entry.baseline, &entry.candidate}) {
                for (const Side& side : *sides) holders.push_back({side.run, side.conversation});
            }
        }
        feed->paired(std::move(keys));
    }
    std::vector<Work> works(pairing.entries.size());
    std::atomic<bool> stopped{false};
    parallel_for(works.size(), options.threads, [&](size_t i) {
        if (feed && !feed->ready(i)) {
            stopped = true;
            return;
        }
        const KeyEntry& entry = pairing.entries[i];
        works[i] = compare_key(i, entry, context);
        // Its work holds all that the report needs of the key: its records make room for the next keys'.
        if (feed) feed->compared(i);
    });
    if (stopped) return Error{"the comparison was stopped before every key was compared"};
    // The records go all at once, a run per thread, once a feed's caller no longer touches them: freed
    // key by key, between the keys' own allocations, they cost the allocator more than the comparison
    // they came from, and the memory they held peaked when they were read.
    if (feed) feed->close();
    parallel_for(runs.size(), options.threads, [&](size_t r) {
        for (Conversation& conversation : runs[r]) conversation.records = {};
        Run().swap(all[r]);
    });

    std::vector<Work*> paired;
    for (Work& work : works) {
        if (work.result.status == Status::Paired) paired.push_back(&work);
    }
    const size_t n = paired.size();
    uint64_t responses = 0;
    for (const Work* work : paired) responses += work->responses;
    if (responses == 0) {
        return Error{"the " + std::to_string(n) +
                     " paired conversation(s) hold no responses (`chat_response` records) to compare: check that "
                     "the runs are traces of the agent's calls, or import them with `velkin import`"};
    }

    // Observed statistics.
    std::vector<AxisSamples> rows;
    for (size_t axis = 0; axis < AXES; ++axis) rows.push_back(row_shape(static_cast<Axis>(axis)));
    uint64_t matched = 0, priced = 0;
    for (Work* work : paired) {
        matched += work->matched;
        priced += work->priced;
        const Labelling& observed = work->labellings.front();
        for (size_t axis = 0; axis < AXES; ++axis) {
            if (!observed.axes[axis].has) continue;
            rows[axis].baseline.push_back(observed.axes[axis].baseline);
            rows[axis].candidate.push_back(observed.axes[axis].candidate);
        }
    }
    // As the single report flags it: fewer than half of the turn pairs priced.
    rows[static_cast<size_t>(Axis::Cost)].no_pricing = 2 * priced < matched;
    // The bootstrap intervals read only the observed rows: they are drawn
    // beside the first relabellings, so that no core idles at the end.
    std::vector<AxisStat> stats;
    std::pair<double, double> outcome_interval{};
    std::vector<double> base_outcomes, cand_outcomes;
    auto intervals = [&] {
        stats = row_stats(rows, options.seed);
        if (!base_outcomes.empty())
            outcome_interval = delta_interval(base_outcomes, cand_outcomes, Statistic::Mean, options.seed);
    };

    // The summaries and the numbering of the subjects read apart what the works hold: side by side.
    SubjectNumbers subject_numbers;
    parallel_for(3, options.threads, [&](size_t task) {
        if (task == 0) record_models(report, paired);
        if (task == 1) summarise_signatures(report, paired);
        if (task == 2) subject_numbers = number_subjects(paired);
    });

    for (Work* work : paired) {
        const AxisPoint& outcome = work->labellings.front().outcome;
        if (!outcome.has) continue;
        base_outcomes.push_back(outcome.baseline);
        cand_outcomes.push_back(outcome.candidate);
    }
    if (!context.outcome_member.empty()) {
        if (base_outcomes.empty() && options.outcome_member)
            return Error{"no paired conversation carries the outcome member " + quoted(context.outcome_member)};
        if (!base_outcomes.empty()) {
            OutcomeResult outcome;
            outcome.member = context.outcome_member;
            outcome.n = base_outcomes.size();
            outcome.baseline_mean = mean_of(base_outcomes);
            outcome.candidate_mean = mean_of(cand_outcomes);
            outcome.delta = outcome.candidate_mean - outcome.baseline_mean;
            for (Work* work : paired) {
                for (const Finding& finding : work->result.findings) {
                    if (finding.outcome == Direction::Worse) outcome.lost.push_back(work->result.key);
                    if (finding.outcome == Direction::Better) outcome.gained.push_back(work->result.key);
                }
            }
            report.outcome = std::move(outcome);
        }
    }

    // Calibration: the same relabellings drive every test.
    std::array<size_t, SIGNATURE_KINDS> subject_count{};
    for (size_t s = 0; s < SIGNATURE_KINDS; ++s) subject_count[s] = subject_numbers[s].size();
    std::vector<size_t> axis_rows;  // axes with samples, by row index
    for (size_t axis = 0; axis < AXES; ++axis) {
        if (static_cast<Axis>(axis) != Axis::Judge && !rows[axis].baseline.empty()) axis_rows.push_back(axis);
    }
    const bool with_outcome = report.outcome.has_value();
    const size_t tests = SIGNATURES + axis_rows.size() + (with_outcome ? 1 : 0);
    // Every test asks both ways: the signatures come with their mirror images,
    // each counting one way; the axes and the outcome measure the distance from zero.
    std::vector<Tail> tails(tests, Tail::Both);
    for (size_t s = 0; s < SIGNATURES; ++s) tails[s] = Tail::Greater;

    std::vector<bool> by_mean;
    for (size_t axis : axis_rows) by_mean.push_back(rows[axis].statistic == Statistic::Mean);
    PackedSuite suite = pack_suite(paired, axis_rows, by_mean, subject_count, with_outcome, options.threads);
    Draws draws{options.seed, false, suite.counts};
    draws.exact = exact_rows(suite.counts, MAX_RELABELLINGS).has_value();
    report.exact = draws.exact;
    Relabelled relabelled;
    const Observed observed = tally_observed(suite);
    const Calibration p = draw_until_settled(suite, draws, observed, tails, options.threads, relabelled, intervals);
    const size_t drawn = relabelled.shown.size();
    report.relabellings = drawn;

    if (report.outcome) std::tie(report.outcome->ci95_low, report.outcome->ci95_high) = outcome_interval;
    for (size_t axis = 0; axis < AXES; ++axis) {
        if (static_cast<Axis>(axis) == Axis::Judge) continue;
        AxisResult result{stats[axis], {}};
        result.priced = static_cast<Axis>(axis) != Axis::Cost || !rows[axis].baseline.empty();
        report.axes.push_back(std::move(result));
    }
    record_descriptive(report);

    auto test_of = [&](size_t t, bool descriptive, std::optional<Direction> direction) {
        if (descriptive) return Test{};
        Test test{true, p.raw(t), p.adjusted(t), std::nullopt, p.adjusted(t) <= FAMILY_ALPHA, std::nullopt};
        if (!draws.exact) test.mc_error = monte_carlo_error(p, t, tests, drawn + 1);
        if (test.significant) test.direction = direction;
        return test;
    };
    // A subject of a significant kind stands out when its own count would be significant too.
    std::array<std::vector<bool>, SIGNATURE_KINDS> standing_out;
    for (size_t s = 0; s < SIGNATURE_KINDS; ++s) {
        standing_out[s].assign(subject_count[s], false);
        for (size_t j = 0; j < subject_count[s]; ++j) {
            double count = observed.slots[suite.first_subject_slot[s] + j];
            standing_out[s][j] = p.adjusted_for(s, count) <= FAMILY_ALPHA;
        }
    }
    for (size_t s = 0; s < SIGNATURES; ++s) {
        SignatureResult& signature = report.signatures[s];
        signature.test = test_of(s, signature.descriptive, signature_direction(signature.signature));
        double expected = 0.0;
        for (const auto& shown : relabelled.shown) expected += shown[s];
        signature.baseline_rate = expected / static_cast<double>(drawn * n);
    }
    for (size_t t = 0; t < axis_rows.size(); ++t) {
        Axis axis = static_cast<Axis>(axis_rows[t]);
        for (AxisResult& result : report.axes) {
            if (result.stat.axis != axis) continue;
            result.test = test_of(SIGNATURES + t, result.descriptive, axis_direction(axis, result.stat.delta));
            // Inside the noise floor, or without one, no change is graded above minor.
            if (!result.test.significant && result.stat.severity > Severity::Minor)
                result.stat.severity = Severity::Minor;
        }
    }
    for (AxisResult& result : report.axes) {
        if (!result.priced) result.stat.severity = Severity::None;
    }
    if (with_outcome) {
        const double delta = report.outcome->delta;
        report.outcome->test = test_of(tests - 1, false, delta > 0 ? Direction::Better : Direction::Worse);
    }

    for (Work& work : works) report.conversations.push_back(std::move(work.result));
    grade_findings(report, [&](size_t s, const std::string& subject) {
        const std::vector<bool>& standing = standing_out[s];
        if (std::none_of(standing.begin(), standing.end(), [](bool out) { return out; })) return true;
        auto number = subject_numbers[s].find(subject);
        return number != subject_numbers[s].end() && standing[number->second];
    });
    report.verdict = verdict_of(report);

    // Root-cause hints read only the rows whose change is significant.
    std::vector<AxisStat> graded;
    for (const AxisResult& axis : report.axes) {
        graded.push_back(axis.stat);
        if (!axis.test.significant) graded.back().severity = Severity::None;
    }
    report.recommendations = advice_for(report, root_cause_hints(graded));
    return report;
}

}  // namespace velkin::compare
