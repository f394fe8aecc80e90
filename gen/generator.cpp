#include "generator.hpp"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

namespace kest::gen {
namespace {

namespace pb = google::protobuf;
using Field = pb::FieldDescriptor;
using Message = pb::Descriptor;

constexpr const char *supported =
    "kest supports optional uint32, uint64, bool, fixed32, bytes and string fields and repeated messages";
constexpr int max_number = 2047;  // tags of at most two bytes
constexpr int max_fields = 64;    // bits of `present`
constexpr size_t width = 100;     // where prototypes wrap

// Outputs are named after the file without its directory.
std::string file_name(const pb::FileDescriptor &f) { return f.name().substr(f.name().rfind('/') + 1); }

std::string base_name(const pb::FileDescriptor &f) {
    std::string n = file_name(f);
    if (n.ends_with(".proto")) n.resize(n.size() - 6);
    return n;
}

std::string macro_case(std::string s) {
    for (char &c : s) {
        const auto u = static_cast<unsigned char>(c);
        c = std::isalnum(u) ? static_cast<char>(std::toupper(u)) : '_';
    }
    return s;
}

bool is_identifier(const std::string &s) {
    if (s.empty() || std::isdigit(static_cast<unsigned char>(s[0]))) return false;
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
}

// A message's name inside its package, as the .proto spells it.
std::string proto_name(const Message &m) {
    const std::string &package = m.file()->package();
    return package.empty() ? m.full_name() : m.full_name().substr(package.size() + 1);
}

// C has no scopes for records: Outer.Inner becomes Outer_Inner.
std::string c_name(const Message &m) {
    std::string n = proto_name(m);
    std::replace(n.begin(), n.end(), '.', '_');
    return n;
}

bool is_bytes(const Field &f) { return f.type() == Field::TYPE_BYTES || f.type() == Field::TYPE_STRING; }

struct Scalar {
    Field::Type type;
    const char *c_type, *kind;
};
constexpr Scalar scalars[] = {
    {Field::TYPE_UINT32, "uint32_t", "u32"},
    {Field::TYPE_UINT64, "uint64_t", "u64"},
    {Field::TYPE_BOOL, "bool", "boolean"},
    {Field::TYPE_FIXED32, "uint32_t", "fixed32"},
};
const Scalar *scalar(const Field &f) {
    for (const Scalar &s : scalars)
        if (s.type == f.type()) return &s;
    return nullptr;
}

// The record's members and the field list both follow field numbers.
std::vector<const Field *> by_number(const Message &m) {
    std::vector<const Field *> fields;
    for (int i = 0; i < m.field_count(); ++i) fields.push_back(m.field(i));
    std::sort(fields.begin(), fields.end(), [](const Field *a, const Field *b) { return a->number() < b->number(); });
    return fields;
}

bool owns_memory(const Message &m) {
    for (int i = 0; i < m.field_count(); ++i)
        if (is_bytes(*m.field(i)) || m.field(i)->is_repeated()) return true;
    return false;
}

void collect(const Message &m, std::vector<const Message *> &out) {
    out.push_back(&m);
    for (int i = 0; i < m.nested_type_count(); ++i) collect(*m.nested_type(i), out);
}

// Every message of the file, each before those nested in it.
std::vector<const Message *> messages_of(const pb::FileDescriptor &file) {
    std::vector<const Message *> all;
    for (int i = 0; i < file.message_type_count(); ++i) collect(*file.message_type(i), all);
    return all;
}

// File order, but each element's record before the first record that holds a run of
// it: the list macros then name elements first too.
void place(const Message &m, std::set<const Message *> &placed, std::vector<const Message *> &order) {
    if (!placed.insert(&m).second) return;
    for (const Field *f : by_number(m))
        if (f->is_repeated() && f->message_type() && f->message_type()->file() == m.file())
            place(*f->message_type(), placed, order);
    order.push_back(&m);
}

std::vector<const Message *> emission_order(const pb::FileDescriptor &file) {
    std::set<const Message *> placed;
    std::vector<const Message *> order;
    for (const Message *m : messages_of(file)) place(*m, placed, order);
    return order;
}

std::vector<const pb::FileDescriptor *> imports_with_messages(const pb::FileDescriptor &file) {
    std::vector<const pb::FileDescriptor *> out;
    for (int i = 0; i < file.dependency_count(); ++i)
        if (file.dependency(i)->message_type_count() > 0) out.push_back(file.dependency(i));
    return out;
}

// ---- what kest refuses -------------------------------------------------------

std::string field_problem(const Field &f) {
    if (f.type() == Field::TYPE_GROUP) return "a group";
    if (f.is_map()) return "a map";
    if (f.is_repeated()) {
        if (f.type() != Field::TYPE_MESSAGE) return std::string("repeated ") + f.type_name();
    } else {
        if (f.type() == Field::TYPE_MESSAGE) return "a singular embedded message";
        if (f.type() == Field::TYPE_ENUM) return "an enum";
        if (!scalar(f) && !is_bytes(f)) return f.type_name();
        if (f.is_required()) return "a required field (kest does not check presence)";
        if (f.has_default_value()) return "an explicit default";
        if (const pb::OneofDescriptor *o = f.real_containing_oneof()) return "a oneof (" + o->name() + ")";
        if (!f.has_presence()) return "a proto3 field without `optional` (implicit presence)";
    }
    if (f.number() > max_number) return "a field number above 2047";
    return "";
}

// Whether runs of messages lead from `from` to `to`; `path` then holds the way.
bool leads_to(const Message *from, const Message *to, std::vector<const Message *> &path,
              std::set<const Message *> &seen) {
    path.push_back(from);
    if (from == to) return true;
    if (seen.insert(from).second)
        for (int i = 0; i < from->field_count(); ++i) {
            const Field *f = from->field(i);
            if (f->is_repeated() && f->message_type() && leads_to(f->message_type(), to, path, seen)) return true;
        }
    path.pop_back();
    return false;
}

std::string cycle_problem(const Message &m, const Field &f) {
    if (!f.is_repeated() || !f.message_type()) return "";
    std::vector<const Message *> path{&m};
    std::set<const Message *> seen;
    if (!leads_to(f.message_type(), &m, path, seen)) return "";
    std::string way;
    for (const Message *step : path) way += (way.empty() ? "" : " -> ") + proto_name(*step);
    return "a message that embeds itself (" + way + ")";
}

// Where a thing is declared; without source info, all tie and the walk order stands.
template <class D>
std::pair<int, int> position(const D &d) {
    pb::SourceLocation at;
    if (!d.GetSourceLocation(&at)) return {0, 0};
    return {at.start_line, at.start_column};
}

}  // namespace

std::string refusal(const pb::FileDescriptor &file) {
    std::vector<std::pair<std::pair<int, int>, std::string>> problems;
    const std::string in = file_name(file) + ": ";
    auto field_refusal = [&](const Field &f, const std::string &where, const std::string &what) {
        problems.push_back({position(f), in + where + " (number " + std::to_string(f.number()) + "): " + what +
                                             " is not supported; " + supported});
    };
    auto extensions = [&](auto &scope) {
        for (int i = 0; i < scope.extension_count(); ++i) {
            const Field &x = *scope.extension(i);
            field_refusal(x, "extension " + x.name() + " of " + x.containing_type()->full_name(), "an extension");
        }
    };
    std::map<std::string, const Message *> records;
    for (const Message *m : messages_of(file)) {
        const std::string name = proto_name(*m);
        if (auto [taken, fresh] = records.emplace(c_name(*m), m); !fresh)
            problems.push_back({position(*m), in + "message " + name + ": a record name (" + c_name(*m) +
                                                  ") shared with message " + proto_name(*taken->second) +
                                                  " is not supported; kest names the record of a nested "
                                                  "message Outer_Inner"});
        if (m->field_count() > max_fields)
            problems.push_back({position(*m), in + "message " + name + ": " + std::to_string(m->field_count()) +
                                                  " fields are not supported; kest supports at most 64 fields "
                                                  "in a message"});
        for (int i = 0; i < m->field_count(); ++i) {
            const Field &f = *m->field(i);
            std::string what = field_problem(f);
            if (what.empty()) what = cycle_problem(*m, f);
            if (!what.empty()) field_refusal(f, "message " + name + ", field " + f.name(), what);
        }
        extensions(*m);
    }
    extensions(file);
    if (problems.empty()) return "";
    std::stable_sort(problems.begin(), problems.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    return problems.front().second;
}

namespace {

// ---- B.kest.h ----------------------------------------------------------------

// The .proto's comment above a message, as a C comment.
std::string c_comment(const Message &m) {
    pb::SourceLocation at;
    if (!m.GetSourceLocation(&at)) return "";
    std::vector<std::string> lines;
    std::istringstream text(at.leading_comments);
    for (std::string line; std::getline(text, line);) {
        if (line.starts_with(' ')) line.erase(0, 1);
        line.erase(line.find_last_not_of(" \t\r") + 1);
        for (const char *mark : {"*/", "/*"})  // would end the comment, or draw -Wcomment
            for (size_t at; (at = line.find(mark)) != std::string::npos;) line.insert(at + 1, 1, ' ');
        lines.push_back(line);
    }
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    auto first = std::find_if(lines.begin(), lines.end(), [](const std::string &l) { return !l.empty(); });
    if (first == lines.end()) return "";
    std::string out = "/* " + *first;
    for (auto l = first + 1; l != lines.end(); ++l) out += l->empty() ? "\n *" : "\n * " + *l;
    return out + " */\n";
}

// Parameters wrap under the first one, or by 8 columns after a long name.
std::string prototype(const std::string &head, const std::vector<std::string> &params) {
    const size_t indent = head.size() <= width / 2 ? head.size() : 8;
    std::string out = head;
    size_t column = head.size();
    for (size_t i = 0; i < params.size(); ++i) {
        const std::string p = params[i] + (i + 1 < params.size() ? "," : ");");
        if (i > 0 && column + 1 + p.size() > width) {
            out.append(1, '\n').append(indent, ' ');
            column = indent;
        } else if (i > 0) {
            out += ' ';
            ++column;
        }
        out += p;
        column += p.size();
    }
    return out + "\n";
}

std::string record(const Message &m, const std::string &prefix) {
    const std::string name = c_name(m), fn = prefix + name;
    const std::vector<const Field *> fields = by_number(m);
    std::string out = c_comment(m) + "typedef struct " + name + " {\n";
    for (const Field *f : fields) {
        const std::string member = std::string(1, 'f').append(std::to_string(f->number()));
        const std::string note = f->name() == member ? "" : " /* " + f->name() + " */";
        if (is_bytes(*f))
            out += "    const uint8_t *" + member + ";" + note + "\n    uint64_t " + member + "_len;\n";
        else if (f->is_repeated())
            out += "    " + c_name(*f->message_type()) + " *" + member + ";" + note + "\n    uint32_t n_" + member +
                   ";\n";
        else
            out += std::string("    ") + scalar(*f)->c_type + " " + member + ";" + note + "\n";
    }
    const size_t n = fields.size();
    out += std::string("    ") + (n <= 8 ? "uint8_t" : n <= 16 ? "uint16_t" : n <= 32 ? "uint32_t" : "uint64_t") +
           " present;\n} " + name + ";\n\n";

    const bool owns = owns_memory(m);
    auto with = [&](std::vector<std::string> params, std::initializer_list<std::string> extra) {
        if (owns) params.insert(params.end(), extra);
        return params;
    };
    if (!owns) out += "/* " + name + " owns no memory, so its operations take no callbacks and no flags. */\n";
    out += prototype("uint64_t " + fn + "_encode_ext(",
                     with({"const " + name + " *msg", "uint8_t *buf", "uint64_t buflen", "kest_segment *segs",
                           "uint32_t *nsegs"},
                          {"uint32_t flags"}));
    out += prototype("int32_t " + fn + "_decode_ext(",
                     with({name + " *msg", "const uint8_t *buf", "uint64_t buflen"},
                          {"kest_alloc_fn alloc", "void *alloc_ctx", "uint32_t flags"}));
    out += prototype("int32_t " + fn + "_duplicate(",
                     with({name + " *dst", "const " + name + " *src"}, {"kest_alloc_fn alloc", "void *alloc_ctx"}));
    out += prototype("void " + fn + "_free_ext(",
                     with({name + " *msg"}, {"kest_free_fn release", "void *release_ctx", "uint32_t flags"}));
    return out;
}

// A list macro, its backslashes in one column.
std::string list_macro(const std::string &head, const std::vector<std::string> &entries) {
    std::vector<std::string> lines{head};
    for (const std::string &e : entries) lines.push_back("    " + e);
    size_t column = 0;
    for (const std::string &l : lines) column = std::max(column, l.size());
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i)
        out += lines[i] + (i + 1 < lines.size() ? std::string(column + 1 - lines[i].size(), ' ') + "\\" : "") + "\n";
    return out;
}

std::string header(const pb::FileDescriptor &file, const std::vector<const Message *> &order,
                   const std::string &prefix) {
    const std::string list = macro_case(prefix) + macro_case(base_name(file));
    const std::string guard = list + "_KEST_H";
    std::string out = "/* Generated by protoc-gen-kest from " + file_name(file) + ": do not edit. */\n";
    bool strings = false;
    for (const Message *m : order)
        for (int i = 0; i < m->field_count(); ++i) strings = strings || m->field(i)->type() == Field::TYPE_STRING;
    if (strings) out += "/* A string field is a byte string like bytes: kest does not check that it holds UTF-8. */\n";
    out += "#ifndef " + guard + "\n#define " + guard + "\n\n#include <kest_types.h>\n";
    for (const pb::FileDescriptor *d : imports_with_messages(file))
        out += "#include \"" + base_name(*d) + ".kest.h\"\n";
    out += "\n#ifdef __cplusplus\nextern \"C\" {\n#endif\n\n";

    std::vector<std::string> records, operations;
    for (const Message *m : order) {
        out += record(*m, prefix) + "\n";
        records.push_back("X(" + c_name(*m) + ")");
        operations.push_back("X(" + prefix + ", " + c_name(*m) + ")");
    }
    out += "/* Expanded by code that visits every record of " + file_name(file) +
           ": X(record), elements before their users. */\n";
    out += list_macro("#define " + list + "_MESSAGES(X)", records) + "\n";
    out += "/* Expanded by code that calls each message's operations by name: X(prefix, record). */\n";
    out += list_macro("#define " + list + "_OPERATIONS(X)", operations);
    return out + "\n#ifdef __cplusplus\n}\n#endif\n\n#endif\n";
}

// ---- B.kest.hpp and the operations -------------------------------------------

std::string field_lists(const pb::FileDescriptor &file, const std::vector<const Message *> &order) {
    std::string out = "// Generated by protoc-gen-kest from " + file_name(file) + ": do not edit.\n#pragma once\n\n" +
                      "#include \"core/engine.hpp\"\n#include \"" + base_name(file) + ".kest.h\"\n";
    for (const pb::FileDescriptor *d : imports_with_messages(file))
        out += "#include \"" + base_name(*d) + ".kest.hpp\"\n";
    for (const Message *m : order) {
        const std::string name = c_name(*m);
        out += "\ntemplate <>\nstruct kest::core::schema<" + name + "> {\n    using fields = field_list<";
        const std::vector<const Field *> fields = by_number(*m);
        for (size_t i = 0; i < fields.size(); ++i) {
            const Field &f = *fields[i];
            const std::string n = std::to_string(f.number()), member = "&" + name + "::f" + n;
            out += "\n        ";
            if (is_bytes(f))
                out += "bytes<" + n + ", " + member + ", " + member + "_len>";
            else if (f.is_repeated())
                out += "repeated<" + n + ", " + member + ", &" + name + "::n_f" + n + ">";
            else
                out += std::string(scalar(f)->kind) + "<" + n + ", " + member + ">";
            if (i + 1 < fields.size()) out += ",";
        }
        out += ">;\n};\n";
    }
    return out;
}

std::string operations(const Message &m, const std::string &prefix) {
    return std::string(owns_memory(m) ? "KEST_DEFINE_OPERATIONS(" : "KEST_DEFINE_PLAIN_OPERATIONS(") + prefix + ", " +
           c_name(m) + ")\n";
}

void write(pb::compiler::GeneratorContext &context, const std::string &name, const std::string &text) {
    std::unique_ptr<pb::io::ZeroCopyOutputStream> stream(context.Open(name));
    pb::io::CodedOutputStream(stream.get()).WriteString(text);
}

}  // namespace

bool Generator::Generate(const pb::FileDescriptor *file, const std::string &parameter,
                         pb::compiler::GeneratorContext *context, std::string *error) const {
    std::vector<std::pair<std::string, std::string>> options;
    pb::compiler::ParseGeneratorParameter(parameter, &options);
    std::string prefix;
    bool split = false;
    for (const auto &[key, value] : options) {
        if (key == "prefix") {
            prefix = value;
        } else if (key == "split" && value.empty()) {
            split = true;
        } else {
            *error = "unknown parameter " + key + (value.empty() ? "" : "=" + value) +
                     "; protoc-gen-kest takes prefix=NAME and split";
            return false;
        }
    }
    if (prefix.empty()) {
        *error = "no prefix: protoc-gen-kest needs --kest_opt=prefix=NAME, NAME starting every function "
                      "it declares (e.g. myapp_)";
        return false;
    }
    if (!is_identifier(prefix)) {
        *error = "prefix=" + prefix + " cannot start a C function name";
        return false;
    }
    if (std::string why = refusal(*file); !why.empty()) {
        *error = why.substr(file_name(*file).size() + 2);  // protoc names the file itself
        return false;
    }

    const std::vector<const Message *> order = emission_order(*file);
    const std::string base = base_name(*file), include = "#include \"" + base + ".kest.hpp\"\n";
    write(*context, base + ".kest.h", header(*file, order, prefix));
    write(*context, base + ".kest.hpp", field_lists(*file, order));
    if (split) {
        for (const Message *m : order)
            write(*context, c_name(*m) + ".kest.cpp", include + "\n" + operations(*m, prefix));
    } else {
        std::string all = include + (order.empty() ? "" : "\n");
        for (const Message *m : order) all += operations(*m, prefix);
        write(*context, base + ".kest.cpp", all);
    }
    return true;
}

}  // namespace kest::gen
