#include "python/log_writer.hpp"

#include <array>
#include <optional>
#include <string_view>

#include "agentlog/record.hpp"
#include "python/bytes_builder.hpp"
#include "python/convert.hpp"
#include "python/plain_writers.hpp"
#include "python/recursion.hpp"

namespace velkin::python {

namespace {

enum class Outcome { Written, NotPlain, Invalid };

// Grown by doubling; small lists need no growth at all.
constexpr size_t INITIAL_CAPACITY = 64 * 1024;

// Element values sit one level below the element in the conversion.
constexpr int MEMBER_DEPTH = 1;

struct EnvelopeMember {
    agentlog::Field field;
    PyObject* value;
};

// The envelope fields of an exact dict, in the dict's order, read in place:
// the text views point into the dict's own str objects. The named fields are
// filled as far as the values have the usual shape.
struct PlainEnvelope {
    std::array<EnvelopeMember, agentlog::FIELD_COUNT> members;
    size_t count = 0;
    bool usual = true;  // every value so far has the usual shape

    std::string_view version;
    std::string_view id;
    std::string_view ts;
    std::optional<std::string_view> parent;
    agentlog::Kind kind = agentlog::Kind::Metadata;
    PyObject* meta = nullptr;  // an exact dict; null when absent or None
    PyObject* payload = nullptr;

    bool has(agentlog::Field field) const {
        for (size_t i = 0; i < count; ++i)
            if (members[i].field == field) return true;
        return false;
    }
    // Every required field present and of the usual shape: the record decoder accepts it.
    bool well_formed() const {
        for (agentlog::Field field : agentlog::REQUIRED_FIELDS)
            if (!has(field)) return false;
        return usual;
    }
};

// Takes one envelope field if its value has the usual shape: a str (for the
// kind, one naming a kind), None where none is allowed, a dict for meta, and
// anything for the payload.
bool take_usual(agentlog::Field field, PyObject* object, PlainEnvelope& envelope) {
    using agentlog::Field;
    std::string_view text;
    switch (field) {
        case Field::Payload: envelope.payload = object; return true;
        case Field::Meta:
            if (PyDict_CheckExact(object)) envelope.meta = object;
            return object == Py_None || envelope.meta;
        case Field::Parent:
            if (object == Py_None) return true;
            if (!exact_str_text(object, text)) return false;
            envelope.parent = text;
            return true;
        case Field::Kind: {
            if (!exact_str_text(object, text)) return false;
            std::optional<agentlog::Kind> kind = agentlog::kind_from_name(text);
            if (kind) envelope.kind = *kind;
            return kind.has_value();
        }
        case Field::Version: return exact_str_text(object, envelope.version);
        case Field::Id: return exact_str_text(object, envelope.id);
        case Field::Ts: return exact_str_text(object, envelope.ts);
    }
    return false;
}

// The record decoder's message for an envelope of another shape, judged on a
// small json::Value of its fields: str and None as they are, placeholders for
// a plain payload and meta. Other values are left to the conversion, which
// describes them.
Outcome judge_unusual(const PlainEnvelope& envelope, std::string& scratch, Error& error) {
    using agentlog::Field;
    json::Object shown;
    shown.reserve(envelope.count);
    for (size_t i = 0; i < envelope.count; ++i) {
        const auto [field, object] = envelope.members[i];
        json::Value value;
        std::string_view text;
        if (field == Field::Payload || (field == Field::Meta && PyDict_CheckExact(object))) {
            // A conversion error inside them would win over the decode error.
            scratch.clear();
            if (!write_plain_compact(object, MEMBER_DEPTH, scratch)) return Outcome::NotPlain;
            if (field == Field::Meta) value = json::Value(json::Object{});
        } else if (exact_str_text(object, text)) {
            value = json::Value(std::string(text));
        } else if (object != Py_None) {
            return Outcome::NotPlain;
        }
        shown.push_back(json::Member{std::string(agentlog::field_name(field)), std::move(value)});
    }
    Result<agentlog::Record> decoded = agentlog::decode_record(json::Value(std::move(shown)));
    if (decoded) throw Panic("an envelope of an unusual shape was accepted by the record decoder");
    error = decoded.take_error();
    return Outcome::Invalid;
}

// One exact-dict element straight from its objects. On NotPlain, `out` may
// hold a partial line that the caller discards.
Outcome write_plain_record(PyObject* dict, std::string& out, std::string& scratch, Error& error) {
    RecursionGuard guard;
    if (!guard.entered()) {
        PyErr_Clear();
        return Outcome::NotPlain;
    }
    PlainEnvelope envelope;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        std::string_view name;
        if (!exact_str_text(key, name)) return Outcome::NotPlain;
        std::optional<agentlog::Field> field = agentlog::field_from_name(name);
        if (!field) {
            // Unknown members are dropped, but a conversion error inside one still counts.
            scratch.clear();
            if (!write_plain_compact(value, MEMBER_DEPTH, scratch)) return Outcome::NotPlain;
            continue;
        }
        envelope.members[envelope.count++] = {*field, value};
        envelope.usual = envelope.usual && take_usual(*field, value, envelope);
    }
    if (!envelope.well_formed()) return judge_unusual(envelope, scratch, error);

    agentlog::write_envelope_head(envelope.version, envelope.id, envelope.kind, envelope.ts, envelope.parent, out);
    if (envelope.meta) {
        out += ",\"meta\":";
        if (!write_plain_compact(envelope.meta, MEMBER_DEPTH, out)) return Outcome::NotPlain;
    }
    out += ",\"payload\":";
    if (!write_plain_compact(envelope.payload, MEMBER_DEPTH, out)) return Outcome::NotPlain;
    out += "}\n";
    return Outcome::Written;
}

}  // namespace

Result<Ref> write_record_lines(PyObject* list) {
    Ref hold = Ref::borrow(list);
    BytesBuilder lines(INITIAL_CAPACITY);
    std::string line;
    std::string scratch;
    // The size is read again on every step: conversion hooks of an element may shrink the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
        line.clear();
        Outcome outcome = Outcome::NotPlain;
        if (PyDict_CheckExact(item.get())) {
            Error error;
            outcome = write_plain_record(item.get(), line, scratch, error);
            if (outcome == Outcome::Invalid) return error;
        }
        if (outcome == Outcome::NotPlain) {
            Result<agentlog::Record> record = to_record(item.get());
            if (!record) return record.take_error();
            line.clear();
            agentlog::write_record_line(record.value(), line);
        }
        lines.append(line);
    }
    return lines.finish();
}

}  // namespace velkin::python
