#pragma once
// The Embedder that wraps a Python callable: fn(list[str]) -> list[list[float]].
#include <string_view>

#include "diff/embedder.hpp"
#include "python/refs.hpp"

namespace velkin::python {

class BoxedEmbedder final : public diff::Embedder {
public:
    static constexpr std::string_view NAME = "py-callback";

    explicit BoxedEmbedder(PyObject* callable) : callable_(Ref::borrow(callable)) {}

    // Never raises: any failure of the call or of its result clears the
    // Python error and gives an empty list.
    std::vector<diff::Embedding> embed(const std::vector<std::string>& texts) override;

private:
    Ref callable_;
};

}  // namespace velkin::python
