// The words the run comparison's report is written in, and what each kind of change means.
#include "compare/compare.hpp"

namespace velkin::compare {

std::string_view signature_name(Signature signature) {
    switch (signature) {
        case Signature::ToolDropped: return "tool_dropped";
        case Signature::ToolAdded: return "tool_added";
        case Signature::CallsFewer: return "calls_fewer";
        case Signature::CallsMore: return "calls_more";
        case Signature::CallsReordered: return "calls_reordered";
        case Signature::ArgumentChanged: return "argument_changed";
        case Signature::NewRefusal: return "new_refusal";
        case Signature::LostRefusal: return "lost_refusal";
        case Signature::NewTruncation: return "new_truncation";
        case Signature::LostTruncation: return "lost_truncation";
        case Signature::Pooled: return "pooled";
    }
    return "";
}

// A tool the agent stops or starts calling, calls more or less, or passes
// other values to is a change in what it does to the world: the gate treats
// it as a regression until a reviewer says otherwise. A truncation lost is
// an answer completed. A refusal lost may be a task now done or a safeguard
// gone, and calls reordered may be equivalent: neither reads either way.
Direction signature_direction(Signature signature) {
    switch (signature) {
        case Signature::LostTruncation: return Direction::Better;
        case Signature::CallsReordered:
        case Signature::LostRefusal: return Direction::Neutral;
        default: return Direction::Worse;
    }
}

bool needs_replicates(Signature signature) {
    return signature == Signature::ArgumentChanged || signature == Signature::CallsReordered;
}

std::string_view level_name(Level level) {
    switch (level) {
        case Level::Error: return "error";
        case Level::Warning: return "warning";
        case Level::Info: return "info";
    }
    return "";
}

std::string_view status_name(Status status) {
    switch (status) {
        case Status::Paired: return "paired";
        case Status::BaselineOnly: return "baseline_only";
        case Status::CandidateOnly: return "candidate_only";
    }
    return "";
}

std::string_view key_source_name(KeySource source) {
    switch (source) {
        case KeySource::TraceId: return "trace_id";
        case KeySource::Member: return "member";
        case KeySource::FirstRequest: return "first_request";
    }
    return "";
}

std::string_view reference_name(Reference reference) {
    return reference == Reference::Relabelling ? "relabelling" : "sign-flip";
}

std::string_view direction_name(Direction direction) {
    switch (direction) {
        case Direction::Worse: return "worse";
        case Direction::Better: return "better";
        case Direction::Neutral: return "neutral";
    }
    return "";
}

std::string_view verdict_name(Verdict verdict) {
    switch (verdict) {
        case Verdict::Regressed: return "regressed";
        case Verdict::Improved: return "improved";
        case Verdict::Mixed: return "mixed";
        case Verdict::Changed: return "changed";
        case Verdict::NoChange: return "no significant change";
    }
    return "";
}

}  // namespace velkin::compare
