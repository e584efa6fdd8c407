#include "python/convert.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "diff/response.hpp"
#include "python/errors.hpp"
#include "python/recursion.hpp"
#include "python/strings.hpp"

namespace velkin::python {

namespace {

// Walks a dict like the interpreter's own dict iterator, so that a dict
// modified by a hook of one of its items is noticed instead of being read
// half-old, half-new.
class DictWalk {
public:
    enum class Step { Item, End, Changed };

    explicit DictWalk(PyObject* dict) : dict_(dict), used_(PyDict_GET_SIZE(dict)), remaining_(used_) {}

    Step next(Ref& key, Ref& value) {
        if (PyDict_GET_SIZE(dict_) != used_) {
            change_ = "dictionary changed size during iteration";
            return Step::Changed;
        }
        PyObject* k = nullptr;
        PyObject* v = nullptr;
        if (!PyDict_Next(dict_, &position_, &k, &v)) return Step::End;
        if (remaining_ == 0) {
            change_ = "dictionary keys changed during iteration";
            return Step::Changed;
        }
        --remaining_;
        key = Ref::borrow(k);
        value = Ref::borrow(v);
        return Step::Item;
    }
    // After Step::Changed: what changed, in the interpreter's words.
    const char* change() const { return change_; }

private:
    PyObject* dict_;
    Py_ssize_t position_ = 0;
    Py_ssize_t used_;
    Py_ssize_t remaining_;
    const char* change_ = "";
};

// Looked up on each use: the module keeps nothing between calls, and this
// path is only reached by objects outside the built-in types.
Ref abstract_base(const char* name) {
    Ref module = Ref::steal(PyImport_ImportModule("collections.abc"));
    if (!module) return Ref();
    return Ref::steal(PyObject_GetAttrString(module.get(), name));
}

// How much of a value a pruned conversion builds. A value built with Nothing
// is still walked and checked exactly as a built one, so that bad input fails
// with the same message; it is only not copied. The pruned forms keep what
// diff::retain_report_members would keep of the built value.
enum class Keep : uint8_t {
    All,
    Nothing,
    Record,           // a record: its envelope and payload pruned by RecordParts
    EnvelopeText,     // an envelope field that is dropped: a str is checked and kept empty, anything else built
    ResponsePayload,  // a chat_response payload
    Usage,
    Content,  // a chat_response's content array
    Block,    // one of its blocks
};

std::optional<agentlog::Kind> named_kind(const json::Value& kind) {
    if (const std::string* name = kind.as_string()) return agentlog::kind_from_name(*name);
    const json::Object* object = kind.as_object();
    if (!object || object->size() != 1) return std::nullopt;
    return agentlog::kind_from_name(object->front().key);
}

// What a dict being pruned has shown so far that decides its later members.
struct PruneState {
    std::optional<json::Value> kind;                            // of a record
    std::optional<std::span<const std::string_view>> retained;  // members kept of a block, once its type is read
};

// `kind_read`: the record's kind came before its payload; `kind`: the kind it names.
Keep payload_keep(const RecordParts& parts, bool kind_read, std::optional<agentlog::Kind> kind) {
    // A payload read before the kind is built whole; the reader prunes it after decoding.
    if (!kind_read) return Keep::All;
    if (!kind) return Keep::Nothing;  // the decoder rejects the kind
    if (*kind == agentlog::Kind::ChatResponse) return Keep::ResponsePayload;
    return parts.whole_payloads.test(static_cast<size_t>(*kind)) ? Keep::All : Keep::Nothing;
}

Keep payload_keep(const RecordParts& parts, const PruneState& state) {
    return payload_keep(parts, state.kind.has_value(), state.kind ? named_kind(*state.kind) : std::nullopt);
}

Keep member_keep(Keep keep, std::string_view key, const PruneState& state, const RecordParts* parts) {
    switch (keep) {
        case Keep::Record:
            if (key == "payload") return payload_keep(*parts, state);
            if (key == "version" || key == "ts" || (key == "parent" && !parts->parent)) return Keep::EnvelopeText;
            return Keep::All;
        case Keep::ResponsePayload:
            switch (diff::payload_member_retained(key)) {
                case diff::PayloadMember::Whole: return Keep::All;
                case diff::PayloadMember::Dropped: return Keep::Nothing;
                case diff::PayloadMember::Content: return Keep::Content;
                case diff::PayloadMember::Usage: return Keep::Usage;
            }
            return Keep::All;
        case Keep::Usage: return diff::usage_member_retained(key) ? Keep::All : Keep::Nothing;
        case Keep::Block:
            if (key == "type" || !state.retained) return Keep::All;
            return std::find(state.retained->begin(), state.retained->end(), key) != state.retained->end()
                       ? Keep::All
                       : Keep::Nothing;
        default: return keep;
    }
}

void note_member(Keep keep, std::string_view key, const json::Value& value, PruneState& state) {
    if (keep == Keep::Record && key == "kind") state.kind = value;
    if (keep == Keep::Block && key == "type") {
        const std::string* type = value.as_string();
        state.retained = type ? diff::block_members_retained(*type) : std::span<const std::string_view>{};
    }
}

class JsonConverter {
public:
    // `parts` is read by Keep::Record only.
    explicit JsonConverter(const RecordParts* parts = nullptr) : parts_(parts) {}

    // The message of the failure. An interpreter error is formatted only here,
    // once the recursion has unwound: formatting a RecursionError at the depth
    // where it was raised would fail again.
    std::string take_error() { return exception_ ? exception_text(exception_.get()) : std::move(error_); }

    // `out` null: checked, not built (Keep::Nothing).
    bool convert(PyObject* object, json::Value* out, int depth, Keep keep = Keep::All) {
        PyTypeObject* type = Py_TYPE(object);
        // The common exact types first; they are disjoint, so testing them
        // ahead of the ordered table below cannot change which row matches.
        if (type == &PyUnicode_Type) return convert_str(object, out);
        if (type == &PyLong_Type) return convert_int(object, out);
        if (type == &PyFloat_Type) return convert_float(object, out);
        if (object == Py_None) {
            if (out) *out = json::Value();
            return true;
        }
        if (type == &PyBool_Type) {
            if (out) *out = json::Value(object == Py_True);
            return true;
        }
        if (type == &PyDict_Type) return convert_dict(object, out, depth, keep);
        if (type == &PyList_Type) return convert_list(object, out, depth, keep);
        if (type == &PyTuple_Type) return convert_tuple(object, out, depth);

        if (PyLong_Check(object)) return convert_int(object, out);
        if (PyList_Check(object)) return convert_list(object, out, depth);
        if (PyTuple_Check(object)) return convert_tuple(object, out, depth);
        if (PyDict_Check(object)) return convert_dict(object, out, depth);
        if (PyUnicode_Check(object)) return convert_str(object, out);
        if (PyBytes_Check(object)) return fail("invalid type: byte array, expected any valid JSON value");
        if (PyByteArray_Check(object))
            return fail("unexpected type: '" + type_qualname_of(object) + "' object cannot be converted to 'PyBytes'");
        if (PyFloat_Check(object)) return convert_float(object, out);
        if (PyAnySet_Check(object)) return convert_iterable(object, out, depth);
        return convert_other(object, out, depth);
    }

private:
    bool fail(std::string message) {
        error_ = std::move(message);
        return false;
    }
    bool fail_with_python_error() {
        exception_ = take_exception();
        return false;
    }

    std::string error_;
    Ref exception_;
    const int cap_ = nesting_cap();
    const RecordParts* parts_;

    bool enter(RecursionGuard& guard, int depth) {
        if (!guard.entered()) return fail_with_python_error();
        if (depth >= cap_)
            return fail(std::string("RecursionError: maximum recursion depth exceeded") + RECURSION_CONTEXT);
        return true;
    }

    bool convert_str(PyObject* object, json::Value* out) {
        if (!out) {
            std::string_view text;
            if (has_utf8_form(object) || str_utf8(object, text)) return true;
            return fail_with_python_error();
        }
        std::string text;
        if (!append_str_utf8(object, text)) return fail_with_python_error();
        *out = json::Value(std::move(text));
        return true;
    }

    bool convert_int(PyObject* object, json::Value* out) {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
        if (overflow == 0) {
            if (value == -1 && PyErr_Occurred()) return fail_with_python_error();
            if (out)
                *out = value >= 0 ? json::Value(static_cast<uint64_t>(value))
                                  : json::Value(static_cast<int64_t>(value));
            return true;
        }
        if (overflow > 0) {
            unsigned long long unsigned_value = PyLong_AsUnsignedLongLong(object);
            if (!(unsigned_value == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
                if (out) *out = json::Value(static_cast<uint64_t>(unsigned_value));
                return true;
            }
            PyErr_Clear();
        }
        // Outside both 64-bit ranges: within 128 bits the number is merely out
        // of JSON's range; beyond that the interpreter's own overflow error is shown.
        Ref to_bytes = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyLong_Type), "to_bytes"));
        if (!to_bytes) return fail_with_python_error();
        Ref args = Ref::steal(Py_BuildValue("(Ons)", object, Py_ssize_t{16}, "little"));
        Ref kwargs = Ref::steal(Py_BuildValue("{s:O}", "signed", Py_True));
        if (!args || !kwargs) return fail_with_python_error();
        Ref fitted = Ref::steal(PyObject_Call(to_bytes.get(), args.get(), kwargs.get()));
        if (!fitted) return fail_with_python_error();
        return fail("JSON number out of range");
    }

    bool convert_float(PyObject* object, json::Value* out) {
        double value = PyFloat_AS_DOUBLE(object);
        if (out) *out = std::isfinite(value) ? json::Value(value) : json::Value();
        return true;
    }

    bool convert_list(PyObject* list, json::Value* out, int depth, Keep keep = Keep::All) {
        RecursionGuard guard;
        if (!enter(guard, depth)) return false;
        const Keep item_keep = !out ? Keep::Nothing : keep == Keep::Content ? Keep::Block : Keep::All;
        json::Array array;
        if (out) array.reserve(static_cast<size_t>(PyList_GET_SIZE(list)));
        // The size is read again on every step: hooks of nested objects may shrink the list.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
            if (!out) {
                if (!convert(item.get(), nullptr, depth + 1)) return false;
                continue;
            }
            array.emplace_back();
            if (!convert(item.get(), &array.back(), depth + 1, item_keep)) return false;
        }
        if (out) *out = json::Value(std::move(array));
        return true;
    }

    bool convert_tuple(PyObject* tuple, json::Value* out, int depth) {
        RecursionGuard guard;
        if (!enter(guard, depth)) return false;
        const Py_ssize_t size = PyTuple_GET_SIZE(tuple);
        json::Array array(out ? static_cast<size_t>(size) : 0);
        for (Py_ssize_t i = 0; i < size; ++i)
            if (!convert(PyTuple_GET_ITEM(tuple, i), out ? &array[static_cast<size_t>(i)] : nullptr, depth + 1))
                return false;
        if (out) *out = json::Value(std::move(array));
        return true;
    }

    bool key_text(PyObject* key, std::string& text) {
        if (!PyUnicode_Check(key))
            return fail("unexpected type: '" + type_qualname_of(key) + "' object cannot be converted to 'PyString'");
        std::string_view utf8;
        if (!str_utf8(key, utf8)) return fail_with_python_error();
        text.assign(utf8);
        return true;
    }

    bool convert_dict(PyObject* dict, json::Value* out, int depth, Keep keep = Keep::All) {
        RecursionGuard guard;
        if (!enter(guard, depth)) return false;
        Ref hold = Ref::borrow(dict);
        if (!out) {
            keep = Keep::Nothing;
        } else if (keep != Keep::All && !has_only_exact_str_keys(dict)) {
            // Pruning reads key texts; with a str subclass key a later key may replace an earlier
            // one, so such a dict is built whole.
            keep = Keep::All;
        }
        PruneState state;
        json::Object object;
        if (out) object.reserve(static_cast<size_t>(PyDict_GET_SIZE(dict)));
        DictWalk walk(dict);
        Ref key, value;
        bool texts_distinct = true;
        for (;;) {
            const DictWalk::Step step = walk.next(key, value);
            if (step == DictWalk::Step::End) break;
            // A payload changed by its own hooks is bad input, reported as the interpreter would.
            if (step == DictWalk::Step::Changed) return fail(std::string("RuntimeError: ") + walk.change());
            std::string text;
            if (!key_text(key.get(), text)) return false;
            const Keep value_keep = keep == Keep::All ? Keep::All : member_keep(keep, text, state, parts_);
            if (value_keep == Keep::Nothing || (value_keep == Keep::EnvelopeText && PyUnicode_Check(value.get()))) {
                if (!convert(value.get(), nullptr, depth + 1)) return false;
                // The record's envelope keeps each field for the decoder to find, a dropped
                // text as a text so that it decodes alike.
                if (keep == Keep::Record)
                    object.push_back(json::Member{
                        std::move(text), value_keep == Keep::Nothing ? json::Value() : json::Value(std::string())});
                continue;
            }
            json::Value converted;
            if (!convert(value.get(), &converted, depth + 1, value_keep == Keep::EnvelopeText ? Keep::All : value_keep))
                return false;
            note_member(keep, text, converted, state);
            // Distinct exact str keys have distinct texts; a str subclass key, with
            // its own equality, may share its text with any key before or after it,
            // and a JSON object keeps each key once.
            texts_distinct = texts_distinct && PyUnicode_CheckExact(key.get());
            if (texts_distinct)
                object.push_back(json::Member{std::move(text), std::move(converted)});
            else
                json::object_set(object, std::move(text), std::move(converted));
        }
        if (out) *out = json::Value(std::move(object));
        return true;
    }

    // Sets (and subclasses) in their iteration order.
    bool convert_iterable(PyObject* iterable, json::Value* out, int depth) {
        RecursionGuard guard;
        if (!enter(guard, depth)) return false;
        Ref iterator = Ref::steal(PyObject_GetIter(iterable));
        if (!iterator) return fail_with_python_error();
        json::Array array;
        while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
            if (out) array.emplace_back();
            if (!convert(item.get(), out ? &array.back() : nullptr, depth + 1)) return false;
        }
        if (PyErr_Occurred()) return fail_with_python_error();
        if (out) *out = json::Value(std::move(array));
        return true;
    }

    bool is_instance(PyObject* object, const char* abstract_name, bool& result) {
        Ref base = abstract_base(abstract_name);
        if (!base) return fail_with_python_error();
        int found = PyObject_IsInstance(object, base.get());
        if (found < 0) return fail_with_python_error();
        result = found == 1;
        return true;
    }

    bool convert_other(PyObject* object, json::Value* out, int depth) {
        bool matches = false;
        if (!is_instance(object, "Sequence", matches)) return false;
        if (matches) return convert_sequence(object, out, depth);
        if (!is_instance(object, "Mapping", matches)) return false;
        if (matches) return convert_mapping(object, out, depth);
        return fail("unsupported type " + type_qualname_of(object));
    }

    bool convert_sequence(PyObject* sequence, json::Value* out, int depth) {
        RecursionGuard guard;
        if (!enter(guard, depth)) return false;
        Ref hold = Ref::borrow(sequence);
        // The length comes from the object's own __len__: room grows with what
        // is actually read, never from the claim.
        Py_ssize_t size = PySequence_Size(sequence);
        if (size < 0) return fail_with_python_error();
        json::Array array;
        for (Py_ssize_t i = 0; i < size; ++i) {
            Ref item = Ref::steal(PySequence_GetItem(sequence, i));
            if (!item) return fail_with_python_error();
            if (out) array.emplace_back();
            if (!convert(item.get(), out ? &array.back() : nullptr, depth + 1)) return false;
        }
        if (out) *out = json::Value(std::move(array));
        return true;
    }

    bool convert_mapping(PyObject* mapping, json::Value* out, int depth) {
        RecursionGuard guard;
        if (!enter(guard, depth)) return false;
        Ref hold = Ref::borrow(mapping);
        Ref keys = Ref::steal(PyMapping_Keys(mapping));
        if (!keys) return fail_with_python_error();
        json::Object object;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
            Ref key = Ref::borrow(PyList_GET_ITEM(keys.get(), i));
            std::string text;
            if (!key_text(key.get(), text)) return false;
            Ref value = Ref::steal(PyObject_GetItem(mapping, key.get()));
            if (!value) return fail_with_python_error();
            json::Value converted;
            if (!convert(value.get(), out ? &converted : nullptr, depth + 1)) return false;
            if (out) json::object_set(object, std::move(text), std::move(converted));
        }
        if (out) *out = json::Value(std::move(object));
        return true;
    }
};

// The conversion of plain values: built only of exact dicts with exact str
// keys, lists, tuples, strs, ints, floats, bools and None. Reading them runs
// no Python code, so none of JsonConverter's care is needed (references held,
// dicts watched for changes, keys that bring their own equality), and a
// record is decoded as it is read, without a JSON object in between. It
// builds and prunes what JsonConverter builds and prunes, but gives up
// (false, nothing, no error set) at any other value and at anything that
// would fail to convert or decode, for JsonConverter to convert the value
// again and report the failure in its own words.
class PlainConverter {
    // Deeper values are not compared in place, only converted.
    static constexpr int MAX_COMPARED_DEPTH = 64;

public:
    // `parts` is read by record() only.
    explicit PlainConverter(const RecordParts* parts = nullptr) : parts_(parts) {}

    // `out` null: checked, not built.
    bool convert(PyObject* object, json::Value* out, int depth, Keep keep = Keep::All) {
        PyTypeObject* type = Py_TYPE(object);
        if (type == &PyUnicode_Type) return convert_str(object, out);
        if (type == &PyDict_Type) return convert_dict(object, out, depth, keep);
        if (type == &PyList_Type) return convert_list(object, out, depth, keep);
        if (type == &PyLong_Type) return convert_int(object, out);
        if (type == &PyFloat_Type) {
            const double value = PyFloat_AS_DOUBLE(object);
            if (out) *out = std::isfinite(value) ? json::Value(value) : json::Value();
            return true;
        }
        if (object == Py_None) {
            if (out) *out = json::Value();
            return true;
        }
        if (type == &PyBool_Type) {
            if (out) *out = json::Value(object == Py_True);
            return true;
        }
        if (type == &PyTuple_Type) return convert_tuple(object, out, depth);
        return false;
    }

    // The record JsonConverter's Keep::Record and decode_record make of `element`.
    std::optional<agentlog::Record> record(PyObject* element) {
        if (Py_TYPE(element) != &PyDict_Type) return std::nullopt;
        RecursionGuard guard;
        if (!enter(guard, 0)) return std::nullopt;
        agentlog::Record record;
        std::array<bool, agentlog::FIELD_COUNT> seen{};
        std::optional<agentlog::Kind> kind;
        Py_ssize_t position = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(element, &position, &key, &value)) {
            std::string_view name;
            if (!key_text(key, name)) return std::nullopt;
            const std::optional<agentlog::Field> field = agentlog::field_from_name(name);
            if (!field) {
                if (!convert(value, nullptr, 1)) return std::nullopt;  // built, then ignored by the decoder
                continue;
            }
            if (!read_field(*field, value, kind, record)) return std::nullopt;
            seen[static_cast<size_t>(*field)] = true;
        }
        for (agentlog::Field required : agentlog::REQUIRED_FIELDS)
            if (!seen[static_cast<size_t>(required)]) return std::nullopt;
        return record;
    }

    // The payload of a chat_response whose envelope was read before as `known`,
    // into `payload`: false unless the element is plain, to_record would read
    // it without failing, its kind, id, parent and meta read exactly as in
    // `known`, and its parent is kept.
    bool response_payload(PyObject* element, const agentlog::Record& known, json::Value& payload) {
        if (Py_TYPE(element) != &PyDict_Type || known.kind != agentlog::Kind::ChatResponse || !parts_->parent)
            return false;
        RecursionGuard guard;
        if (!enter(guard, 0)) return false;
        std::array<bool, agentlog::FIELD_COUNT> seen{};
        bool kind_read = false;
        Py_ssize_t position = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(element, &position, &key, &value)) {
            std::string_view name;
            if (!key_text(key, name)) return false;
            const std::optional<agentlog::Field> field = agentlog::field_from_name(name);
            if (!field) {
                if (!convert(value, nullptr, 1)) return false;  // built, then ignored by the decoder
                continue;
            }
            bool read = false;
            switch (*field) {
                case agentlog::Field::Version:
                case agentlog::Field::Ts: read = dropped_text(value); break;
                case agentlog::Field::Id: read = same_text(value, known.id); break;
                case agentlog::Field::Kind:
                    read = same_text(value, agentlog::kind_name(known.kind));
                    kind_read = true;
                    break;
                case agentlog::Field::Parent:
                    read = value == Py_None ? !known.parent : known.parent && same_text(value, *known.parent);
                    break;
                case agentlog::Field::Meta:
                    read = value == Py_None ? !known.meta : known.meta && same_value(value, *known.meta, 1);
                    break;
                case agentlog::Field::Payload:
                    read = convert(value, &payload, 1, payload_keep(*parts_, kind_read, agentlog::Kind::ChatResponse));
                    break;
            }
            if (!read) return false;
            seen[static_cast<size_t>(*field)] = true;
        }
        for (agentlog::Field required : agentlog::REQUIRED_FIELDS)
            if (!seen[static_cast<size_t>(required)]) return false;
        return true;
    }

private:
    const int cap_ = nesting_cap();
    const RecordParts* parts_;

    static std::optional<std::string_view> ascii_text(PyObject* object) {
        if (Py_TYPE(object) != &PyUnicode_Type || !PyUnicode_IS_COMPACT_ASCII(object)) return std::nullopt;
        return std::string_view(static_cast<const char*>(PyUnicode_DATA(object)),
                                static_cast<size_t>(PyUnicode_GET_LENGTH(object)));
    }
    // Non-ASCII text is not compared: it would need a UTF-8 copy.
    static bool same_text(PyObject* object, std::string_view text) { return ascii_text(object) == text; }

    // Whether `object` converts to exactly `value`: members in the same order,
    // numbers of the same form and bits. Checked without building the value.
    bool same_value(PyObject* object, const json::Value& value, int depth) {
        if (depth >= cap_ || depth >= MAX_COMPARED_DEPTH) return false;
        PyTypeObject* type = Py_TYPE(object);
        if (type == &PyUnicode_Type) {
            const std::string* text = value.as_string();
            return text && same_text(object, *text);
        }
        if (type == &PyDict_Type) {
            const json::Object* members = value.as_object();
            if (!members || members->size() != static_cast<size_t>(PyDict_GET_SIZE(object))) return false;
            Py_ssize_t position = 0;
            PyObject *key = nullptr, *item = nullptr;
            for (const json::Member& member : *members) {
                if (!PyDict_Next(object, &position, &key, &item) || !same_text(key, member.key) ||
                    !same_value(item, member.value, depth + 1))
                    return false;
            }
            return true;
        }
        if (type == &PyList_Type || type == &PyTuple_Type) {
            const json::Array* items = value.as_array();
            const Py_ssize_t size = Py_SIZE(object);
            if (!items || items->size() != static_cast<size_t>(size)) return false;
            PyObject** objects = type == &PyList_Type ? reinterpret_cast<PyListObject*>(object)->ob_item
                                                      : reinterpret_cast<PyTupleObject*>(object)->ob_item;
            for (Py_ssize_t i = 0; i < size; ++i)
                if (!same_value(objects[i], (*items)[static_cast<size_t>(i)], depth + 1)) return false;
            return true;
        }
        json::Value scalar;
        if (!convert(object, &scalar, depth)) return false;
        return same_scalar(scalar, value);
    }

    static bool same_scalar(const json::Value& a, const json::Value& b) {
        if (a.type() != b.type()) return false;
        switch (a.type()) {
            case json::Type::Null: return true;
            case json::Type::Bool: return *a.as_bool() == *b.as_bool();
            case json::Type::UInt: return std::get<uint64_t>(a.data) == std::get<uint64_t>(b.data);
            case json::Type::Int: return std::get<int64_t>(a.data) == std::get<int64_t>(b.data);
            case json::Type::Double:
                return std::bit_cast<uint64_t>(std::get<double>(a.data)) ==
                       std::bit_cast<uint64_t>(std::get<double>(b.data));
            default: return false;
        }
    }

    bool enter(RecursionGuard& guard, int depth) {
        if (!guard.entered()) {
            PyErr_Clear();
            return false;
        }
        return depth < cap_;
    }

    static bool key_text(PyObject* key, std::string_view& text) {
        if (!PyUnicode_CheckExact(key)) return false;
        if (str_utf8(key, text)) return true;
        PyErr_Clear();
        return false;
    }

    // A text field: an exact str kept whole into `out`.
    static bool read_text(PyObject* value, std::string& out) {
        if (Py_TYPE(value) != &PyUnicode_Type) return false;
        if (append_str_utf8(value, out)) return true;
        PyErr_Clear();
        return false;
    }

    // An envelope text that is dropped: an exact str, decoded as an empty text.
    static bool dropped_text(PyObject* value) { return Py_TYPE(value) == &PyUnicode_Type && has_utf8_form(value); }

    bool read_field(agentlog::Field field, PyObject* value, std::optional<agentlog::Kind>& kind,
                    agentlog::Record& record) {
        switch (field) {
            case agentlog::Field::Version: return dropped_text(value);
            case agentlog::Field::Ts: return dropped_text(value);
            case agentlog::Field::Id: return read_text(value, record.id);
            case agentlog::Field::Kind: {
                // A name that is not ASCII names no kind.
                if (Py_TYPE(value) != &PyUnicode_Type || !PyUnicode_IS_COMPACT_ASCII(value)) return false;
                kind = agentlog::kind_from_name(std::string_view(static_cast<const char*>(PyUnicode_DATA(value)),
                                                                 static_cast<size_t>(PyUnicode_GET_LENGTH(value))));
                if (!kind) return false;
                record.kind = *kind;
                return true;
            }
            case agentlog::Field::Parent:
                if (value == Py_None) return true;
                if (!parts_->parent) {
                    if (!dropped_text(value)) return false;
                    record.parent.emplace();
                    return true;
                }
                record.parent.emplace();
                return read_text(value, *record.parent);
            case agentlog::Field::Meta:
                if (value == Py_None) return true;
                if (Py_TYPE(value) != &PyDict_Type) return false;
                return convert_dict(value, &record.meta.emplace(), 1, Keep::All);
            case agentlog::Field::Payload: {
                const Keep keep = payload_keep(*parts_, kind.has_value(), kind);
                return convert(value, keep == Keep::Nothing ? nullptr : &record.payload, 1, keep);
            }
        }
        return false;
    }

    bool convert_str(PyObject* object, json::Value* out) {
        if (!out) return has_utf8_form(object);
        std::string& text = out->data.emplace<std::string>();
        if (append_str_utf8(object, text)) return true;
        PyErr_Clear();
        return false;
    }

    static bool convert_int(PyObject* object, json::Value* out) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
        if (overflow == 0) {
            if (out)
                *out = value >= 0 ? json::Value(static_cast<uint64_t>(value))
                                  : json::Value(static_cast<int64_t>(value));
            return true;
        }
        if (overflow > 0) {
            const unsigned long long unsigned_value = PyLong_AsUnsignedLongLong(object);
            if (!(unsigned_value == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
                if (out) *out = json::Value(static_cast<uint64_t>(unsigned_value));
                return true;
            }
            PyErr_Clear();
        }
        return false;  // beyond JSON's range
    }

    bool convert_list(PyObject* list, json::Value* out, int depth, Keep keep) {
        RecursionGuard guard;
        if (!enter(guard, depth)) return false;
        const size_t size = static_cast<size_t>(PyList_GET_SIZE(list));
        if (!out) {
            for (size_t i = 0; i < size; ++i)
                if (!convert(PyList_GET_ITEM(list, i), nullptr, depth + 1)) return false;
            return true;
        }
        const Keep item_keep = keep == Keep::Content ? Keep::Block : Keep::All;
        json::Array& array = out->data.emplace<json::Array>(size);
        for (size_t i = 0; i < size; ++i)
            if (!convert(PyList_GET_ITEM(list, i), &array[i], depth + 1, item_keep)) return false;
        return true;
    }

    bool convert_tuple(PyObject* tuple, json::Value* out, int depth) {
        RecursionGuard guard;
        if (!enter(guard, depth)) return false;
        const size_t size = static_cast<size_t>(PyTuple_GET_SIZE(tuple));
        json::Array* array = out ? &out->data.emplace<json::Array>(size) : nullptr;
        for (size_t i = 0; i < size; ++i)
            if (!convert(PyTuple_GET_ITEM(tuple, i), array ? &(*array)[i] : nullptr, depth + 1)) return false;
        return true;
    }

    bool convert_dict(PyObject* dict, json::Value* out, int depth, Keep keep) {
        RecursionGuard guard;
        if (!enter(guard, depth)) return false;
        if (!out) keep = Keep::Nothing;
        PruneState state;
        json::Object* object = out ? &out->data.emplace<json::Object>() : nullptr;
        if (object) object->reserve(static_cast<size_t>(PyDict_GET_SIZE(dict)));
        Py_ssize_t position = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(dict, &position, &key, &value)) {
            std::string_view text;
            if (!key_text(key, text)) return false;
            const Keep value_keep = keep == Keep::All ? Keep::All : member_keep(keep, text, state, parts_);
            if (value_keep == Keep::Nothing) {
                if (!convert(value, nullptr, depth + 1)) return false;
                continue;
            }
            // Distinct exact str keys have distinct texts.
            json::Member& member = object->emplace_back(json::Member{std::string(text), json::Value()});
            if (!convert(value, &member.value, depth + 1, value_keep)) return false;
            note_member(keep, text, member.value, state);
        }
        return true;
    }
};

constexpr std::array<std::string_view, 7> PRICING_FIELDS = {
    "input", "output", "cached_input", "cached_write_5m", "cached_write_1h", "reasoning", "batch_discount",
};

double& pricing_field(diff::ModelPricing& pricing, size_t index) {
    switch (index) {
        case 0: return pricing.input;
        case 1: return pricing.output;
        case 2: return pricing.cached_input;
        case 3: return pricing.cached_write_5m;
        case 4: return pricing.cached_write_1h;
        case 5: return pricing.reasoning;
        default: return pricing.batch_discount;
    }
}

Result<double> pricing_number(const json::Value& value) {
    if (std::optional<double> number = value.as_double()) return *number;
    return Error{"invalid type: " + json::describe(value) + ", expected f64"};
}

// A pricing entry given as JSON: an object of the seven prices or an array of them.
Result<diff::ModelPricing> decode_model_pricing(const json::Value& value) {
    diff::ModelPricing pricing;
    if (const json::Object* object = value.as_object()) {
        std::array<bool, PRICING_FIELDS.size()> seen{};
        for (const json::Member& member : *object) {
            size_t index = 0;
            while (index < PRICING_FIELDS.size() && PRICING_FIELDS[index] != member.key) ++index;
            if (index == PRICING_FIELDS.size()) continue;
            if (seen[index]) return Error{"duplicate field `" + member.key + "`"};
            seen[index] = true;
            Result<double> number = pricing_number(member.value);
            if (!number) return number.take_error();
            pricing_field(pricing, index) = number.value();
        }
        for (size_t required = 0; required < 2; ++required)
            if (!seen[required]) return Error{"missing field `" + std::string(PRICING_FIELDS[required]) + "`"};
        return pricing;
    }
    if (const json::Array* array = value.as_array()) {
        for (size_t index = 0; index < PRICING_FIELDS.size(); ++index) {
            if (index >= array->size())
                return Error{"invalid length " + std::to_string(array->size()) +
                             ", expected struct ModelPricing with 7 elements"};
            Result<double> number = pricing_number((*array)[index]);
            if (!number) return number.take_error();
            pricing_field(pricing, index) = number.value();
        }
        if (array->size() > PRICING_FIELDS.size())
            return Error{"invalid length " + std::to_string(array->size()) + ", expected fewer elements in array"};
        return pricing;
    }
    return Error{"invalid type: " + json::describe(value) + ", expected struct ModelPricing"};
}

// The (input, output) pair form; any item the interpreter cannot turn into a
// float sends the value to the JSON forms instead.
bool read_price_pair(PyObject* value, diff::ModelPricing& pricing) {
    if (!PyTuple_Check(value) || PyTuple_GET_SIZE(value) != 2) return false;
    Ref hold = Ref::borrow(value);
    double input = PyFloat_AsDouble(PyTuple_GET_ITEM(value, 0));
    if (input == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    double output = PyFloat_AsDouble(PyTuple_GET_ITEM(value, 1));
    if (output == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    pricing = diff::ModelPricing{};
    pricing.input = input;
    pricing.output = output;
    return true;
}

}  // namespace

Result<json::Value> to_json(PyObject* object) {
    json::Value value;
    if (PlainConverter().convert(object, &value, 0)) return value;
    JsonConverter converter;
    value = json::Value();
    if (!converter.convert(object, &value, 0)) return Error{converter.take_error()};
    return value;
}

Result<agentlog::Record> to_record(PyObject* element) {
    Result<json::Value> value = to_json(element);
    if (!value) return value.take_error();
    return agentlog::decode_record(std::move(value).value());
}

Result<agentlog::Record> to_record(PyObject* element, const RecordParts& parts) {
    if (std::optional<agentlog::Record> record = PlainConverter(&parts).record(element)) return std::move(*record);
    JsonConverter converter(&parts);
    json::Value value;
    if (!converter.convert(element, &value, 0, Keep::Record)) return Error{converter.take_error()};
    return agentlog::decode_record(std::move(value));
}

Result<std::vector<agentlog::Record>> pylist_to_records(PyObject* list) {
    Ref hold = Ref::borrow(list);
    std::vector<agentlog::Record> records;
    records.reserve(static_cast<size_t>(PyList_GET_SIZE(list)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        Result<agentlog::Record> record = to_record(Ref::borrow(PyList_GET_ITEM(list, i)).get());
        if (!record) return record.take_error();
        records.push_back(std::move(record).value());
    }
    return records;
}

Result<diff::ReportSide> pylist_to_report_side(PyObject* list) {
    Ref hold = Ref::borrow(list);
    const RecordParts parts{.parent = false, .whole_payloads = {}};
    diff::ReportSideReader side;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        Result<agentlog::Record> record = to_record(Ref::borrow(PyList_GET_ITEM(list, i)).get(), parts);
        if (!record) return record.take_error();
        side.add(std::move(record).value());
    }
    return side.take();
}

Result<diff::PricingTable> read_pricing(PyObject* pricing) {
    diff::PricingTable table;
    if (!pricing || pricing == Py_None) return table;
    Ref hold = Ref::borrow(pricing);
    DictWalk walk(pricing);
    Ref key, value;
    for (;;) {
        const DictWalk::Step step = walk.next(key, value);
        if (step == DictWalk::Step::End) break;
        if (step == DictWalk::Step::Changed) throw Panic(walk.change());
        if (!PyUnicode_Check(key.get()))
            return Error{"pricing key: TypeError: '" + type_qualname_of(key.get()) +
                         "' object cannot be converted to 'PyString'"};
        std::string_view model;
        if (!str_utf8(key.get(), model)) return Error{"pricing key: " + take_exception_text()};

        diff::ModelPricing entry;
        if (!read_price_pair(value.get(), entry)) {
            Result<json::Value> converted = to_json(value.get());
            if (!converted) return Error{"pricing value: " + converted.error().message};
            Result<diff::ModelPricing> decoded = decode_model_pricing(converted.value());
            if (!decoded) return Error{"pricing value: " + decoded.error().message};
            entry = decoded.value();
        }
        table.insert_or_assign(std::string(model), entry);
    }
    return table;
}

bool read_response_payload(PyObject* element, agentlog::Record& known, const RecordParts& parts) {
    json::Value payload;
    if (!PlainConverter(&parts).response_payload(element, known, payload)) return false;
    known.payload = std::move(payload);
    return true;
}

bool has_only_exact_str_keys(PyObject* dict) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    return true;
}

}  // namespace velkin::python
