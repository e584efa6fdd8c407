#include "diff/report.hpp"

#include "platform/result.hpp"

namespace velkin::diff {

std::string_view divergence_kind_name(DivergenceKind kind) {
    switch (kind) {
        case DivergenceKind::StyleDrift: return "style_drift";
        case DivergenceKind::DecisionDrift: return "decision_drift";
        case DivergenceKind::StructuralDrift: return "structural_drift";
    }
    throw Panic("unknown divergence kind");
}

std::string_view recommendation_severity_name(RecommendationSeverity severity) {
    switch (severity) {
        case RecommendationSeverity::Error: return "error";
        case RecommendationSeverity::Warning: return "warning";
        case RecommendationSeverity::Info: return "info";
    }
    throw Panic("unknown recommendation severity");
}

std::string_view action_name(Action action) {
    switch (action) {
        case Action::Restore: return "restore";
        case Action::Remove: return "remove";
        case Action::Revert: return "revert";
        case Action::Review: return "review";
        case Action::Verify: return "verify";
        case Action::RootCause: return "root_cause";
    }
    throw Panic("unknown action");
}

}  // namespace velkin::diff
