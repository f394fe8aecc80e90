#include "generator.hpp"

#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace kest::gen {
namespace {

namespace pb = google::protobuf;
using Field = pb::FieldDescriptor;
using Message = pb::Descriptor;

constexpr const char *supported =
    "kest supports optional and oneof fields of every scalar type, bytes, string, enums and messages, repeated "
    "scalars, enums, byte strings and messages, and maps of them";
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

// A proto3 field without `optional`, but for a map entry's key and value, which protobuf
// always writes.
bool implicit_presence(const Field &f) {
    return !f.has_presence() && !f.is_repeated() && !f.containing_type()->options().map_entry();
}

struct Scalar {
    Field::Type type;
    const char *c_type, *kind;
};
constexpr Scalar scalars[] = {
    {Field::TYPE_UINT32, "uint32_t", "uint32"},
    {Field::TYPE_UINT64, "uint64_t", "uint64"},
    {Field::TYPE_BOOL, "bool", "boolean"},
    {Field::TYPE_FIXED32, "uint32_t", "fixed32"},
    {Field::TYPE_INT32, "int32_t", "int32"},
    {Field::TYPE_INT64, "int64_t", "int64"},
    {Field::TYPE_SINT32, "int32_t", "sint32"},
    {Field::TYPE_SINT64, "int64_t", "sint64"},
    {Field::TYPE_FIXED64, "uint64_t", "fixed64"},
    {Field::TYPE_SFIXED32, "int32_t", "sfixed32"},
    {Field::TYPE_SFIXED64, "int64_t", "sfixed64"},
    {Field::TYPE_FLOAT, "float", "float32"},
    {Field::TYPE_DOUBLE, "double", "float64"},
    {Field::TYPE_ENUM, "int32_t", "enumeration"},  // any value read is kept, declared or not
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
        if (is_bytes(*m.field(i)) || m.field(i)->is_repeated() || m.field(i)->message_type()) return true;
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
        if (f->message_type() && f->message_type()->file() == m.file())
            place(*f->message_type(), placed, order);
    order.push_back(&m);
}

std::vector<const Message *> emission_order(const pb::FileDescriptor &file) {
    std::set<const Message *> placed;
    std::vector<const Message *> order;
    for (const Message *m : messages_of(file)) place(*m, placed, order);
    return order;
}

// Where a thing is declared; without source info, all tie and the walk order stands.
using Position = std::pair<int, int>;
template <class D>
Position position(const D &d) {
    pb::SourceLocation at;
    if (!d.GetSourceLocation(&at)) return {0, 0};
    return {at.start_line, at.start_column};
}

// The headers a file's header includes: its imports that hold messages, and the file of
// every element it names (reached through a public import too).
std::vector<const pb::FileDescriptor *> included(const pb::FileDescriptor &file) {
    std::vector<const pb::FileDescriptor *> out;
    auto add = [&](const pb::FileDescriptor *f) {
        if (f != &file && f->message_type_count() > 0 && std::find(out.begin(), out.end(), f) == out.end())
            out.push_back(f);
    };
    for (int i = 0; i < file.dependency_count(); ++i) add(file.dependency(i));
    for (const Message *m : messages_of(file))
        for (int i = 0; i < m->field_count(); ++i)
            if (m->field(i)->message_type()) add(m->field(i)->message_type()->file());
    return out;
}

// ---- what kest refuses -------------------------------------------------------

struct Problem {
    std::string file;
    Position at;
    std::string line;
};

// Lines go by file, then by position in it.
template <class T>
bool earlier(const T &a, const T &b) {
    return std::tie(a.file, a.at) < std::tie(b.file, b.at);
}

std::string field_problem(const Field &f) {
    if (f.type() == Field::TYPE_GROUP) return "a group";
    if (!f.is_repeated()) {
        if (!scalar(f) && !is_bytes(f) && !f.message_type()) return f.type_name();
        if (f.is_required()) return "a required field (kest does not check presence)";
        if (f.has_default_value()) return "an explicit default";
    }
    return "";
}

// What the user can write instead of what field_problem names.
std::string instead(const std::string &problem) {
    if (problem == "a group") return "declare its fields in a message of their own and hold that as a field";
    if (problem.starts_with("a required")) return "make it optional";
    if (problem == "an explicit default") return "leave the default out: kest's fields start zero or empty";
    if (problem == "an extension") return "declare the field in the message itself, or run with skip_unsupported";
    return supported;
}

std::string field_place(const Message &m, const Field &f) {
    return "message " + proto_name(m) + ", field " + f.name() + " (number " + std::to_string(f.number()) + ")";
}

constexpr const char *record_form =
    "kest names a record after its message, Outer_Inner when nested, whatever the package";

// Names a record cannot take, and why: the generated code would not compile.
constexpr std::pair<const char *, const char *> reserved_names[] = {
    {"a C or C++ keyword",
     " alignas alignof and and_eq asm auto bitand bitor bool break case catch char char8_t char16_t char32_t class"
     " compl concept const consteval constexpr constinit const_cast continue co_await co_return co_yield decltype"
     " default delete do double dynamic_cast else enum explicit export extern false float for friend goto if"
     " inline int long mutable namespace new noexcept not not_eq nullptr operator or or_eq private protected"
     " public register reinterpret_cast requires restrict return short signed sizeof static static_assert"
     " static_cast struct switch template this thread_local throw true try typedef typeid typeof typeof_unqual"
     " typename union unsigned using virtual void volatile wchar_t while xor xor_eq "},
    // <stdint.h> and <stdbool.h> come with every record; <string.h> with the operations.
    {"a name of the C library that the generated code includes",
     " int8_t int16_t int32_t int64_t uint8_t uint16_t uint32_t uint64_t int_least8_t int_least16_t int_least32_t"
     " int_least64_t uint_least8_t uint_least16_t uint_least32_t uint_least64_t int_fast8_t int_fast16_t"
     " int_fast32_t int_fast64_t uint_fast8_t uint_fast16_t uint_fast32_t uint_fast64_t intptr_t uintptr_t"
     " intmax_t uintmax_t size_t rsize_t ptrdiff_t max_align_t locale_t NULL offsetof basename bcmp bcopy bzero"
     " explicit_bzero ffs ffsl ffsll index rindex memccpy memchr memcmp memcpy memfrob memmem memmove mempcpy"
     " memrchr memset rawmemchr stpcpy stpncpy strcasecmp strcasecmp_l strcasestr strcat strchr strchrnul strcmp"
     " strcoll strcoll_l strcpy strcspn strdup strerror strerror_l strerror_r strfry strlen strncasecmp"
     " strncasecmp_l strncat strncmp strncpy strndup strnlen strpbrk strrchr strsep strsignal strspn strstr strtok"
     " strtok_r strverscmp strxfrm strxfrm_l "},
    {"a namespace of the C++ code", " std kest "},
    // KEST_CODECS declares each record's codec inside namespace kest, where these come first.
    {"a name of kest.hpp's namespace kest",
     " allocator arena budget codec core delimited_reader delimited_writer describe detail encode encode_iovec"
     " encoded_size errc for_each_message library_messages malloc_allocator message message_list messages_as mode"
     " name_of record stream_status to_string write_all "},
    {"the name of a parameter of its functions", " dst "},
};

// The limits and constants of <stdint.h>: [U]INT8_MAX, INT_LEAST16_MIN, UINT64_C, SIZE_MAX...
bool stdint_macro(std::string name) {
    const size_t cut = name.rfind('_');
    if (cut == std::string::npos) return false;
    const std::string end = name.substr(cut + 1);
    name.resize(cut);
    if (end != "MIN" && end != "MAX" && end != "C") return false;
    for (const char *s : {"SIZE", "PTRDIFF", "WCHAR", "WINT", "SIG_ATOMIC", "INTPTR", "INTMAX"})
        if (name == s) return true;
    if (name.starts_with('U')) name.erase(0, 1);
    for (const std::string kind : {"INT_LEAST", "INT_FAST", "INT"})
        if (name.starts_with(kind)) {
            const std::string bits = name.substr(kind.size());
            return bits == "8" || bits == "16" || bits == "32" || bits == "64" ||
                   (kind == "INT" && (bits == "PTR" || bits == "MAX"));
        }
    return false;
}

std::string reserved(const std::string &name) {
    if (name.starts_with("kest_") || name.starts_with("KEST_")) return "in libkest's own kest_ and KEST_ namespaces";
    if (name.starts_with("__") || (name[0] == '_' && std::isupper(static_cast<unsigned char>(name[1]))))
        return "reserved to the C implementation";
    if (stdint_macro(name)) return "a macro of <stdint.h>";
    for (const auto &[why, names] : reserved_names)
        if (std::string_view(names).find(" " + name + " ") != std::string_view::npos) return why;
    return "";
}

// What kest cannot take in one file: kinds, numbers, shapes and reserved record names.
void check_messages(const pb::FileDescriptor &file, std::vector<Problem> &out) {
    auto field_refusal = [&](const Field &f, const std::string &where, const std::string &what) {
        out.push_back({file.name(), position(f), where + ": " + what + " is not supported; " + instead(what)});
    };
    auto extensions = [&](auto &scope) {
        for (int i = 0; i < scope.extension_count(); ++i) {
            const Field &x = *scope.extension(i);
            field_refusal(x, "extension " + x.name() + " of " + x.containing_type()->full_name() + " (number " +
                                 std::to_string(x.number()) + ")",
                          "an extension");
        }
    };
    for (const Message *m : messages_of(file)) {
        if (const std::string why = reserved(c_name(*m)); !why.empty())
            out.push_back({file.name(), position(*m),
                           "message " + proto_name(*m) + ": a record named " + c_name(*m) + " (" + why +
                               ") is not supported; rename the message: " + record_form});
        for (int i = 0; i < m->field_count(); ++i) {
            const Field &f = *m->field(i);
            std::string what = field_problem(f);
            if (!what.empty()) field_refusal(f, field_place(*m, f), what);
        }
        extensions(*m);
    }
    extensions(file);
}

// A name the output declares at file scope, and what declares it.
struct Declared {
    std::string name, role, file;  // file "": libkest's own
    Position at;
    std::string place;             // "message M", a field, or "" for the file itself
    const void *owner, *part;      // one line per two owners, or per two parts of one
    const char *how;               // how kest forms such a name
};

constexpr const char *function_form = "kest names a record's functions <prefix><record>_encode_ext, _decode_ext, "
                                      "_duplicate and _free_ext";
constexpr const char *bit_form = "kest names a field's presence bit <PREFIX><RECORD>_<FIELD> in upper case";
constexpr const char *file_form = "kest names a file's macros <PREFIX><FILE>_MESSAGES, _OPERATIONS and _KEST_H "
                                  "after its name without the directory";

// libkest's own names that generated ones can meet (with the prefix kest_).
constexpr const char *library_names =
    " kest_segment kest_alloc_fn kest_free_fn kest_result_name kest_result_text KEST_OK KEST_ERR_MALFORMED"
    " KEST_ERR_WIRE_TYPE KEST_ERR_FIELD_TYPE KEST_ERR_NO_MEMORY KEST_FLAG_ZERO_COPY KEST_TYPES_H KEST_H KEST_NAMES_H"
    " KEST_MESSAGES KEST_MESSAGE_LIST KEST_COMMA_RECORD_ KEST_CODECS KEST_CODEC_ KEST_DEFINE_OPERATIONS"
    " KEST_DEFINE_PLAIN_OPERATIONS"
    " KEST_EXPORT_ KEST_INLINE KEST_INLINE_LAMBDA KEST_VERSION KEST_VERSION_H KEST_VERSION_MAJOR KEST_VERSION_MINOR"
    " KEST_VERSION_PATCH KEST_VERSION_STRING ";

std::string bit_name(const std::string &prefix, const Message &m, const Field &f) {
    return macro_case(prefix) + macro_case(c_name(m)) + "_" + macro_case(f.name());
}

void check_names(const std::vector<const pb::FileDescriptor *> &files, const std::string &prefix,
                 std::vector<Problem> &out) {
    std::vector<Declared> all;
    std::istringstream own(library_names);
    for (std::string name; own >> name;) all.push_back({name, "", "", {-1, -1}, "", nullptr, nullptr, ""});
    for (const pb::FileDescriptor *file : files) {
        const std::string list = macro_case(prefix) + macro_case(base_name(*file));
        for (const char *macro : {"_MESSAGES", "_OPERATIONS", "_KEST_H"})
            all.push_back({list + macro, "the macro", file->name(), {-1, -1}, "", file, file, file_form});
        for (const Message *m : messages_of(*file)) {
            const std::string name = c_name(*m), place = "message " + proto_name(*m);
            if (reserved(name).empty())  // a reserved one has its line already
                all.push_back({name, "the record", file->name(), position(*m), place, m, m, record_form});
            for (const char *op : {"_encode_ext", "_decode_ext", "_duplicate", "_free_ext"})
                all.push_back({prefix + name + op, "the function", file->name(), position(*m), place, m, m,
                               function_form});
            for (int i = 0; i < m->field_count(); ++i)
                all.push_back({bit_name(prefix, *m, *m->field(i)), "the presence bit", file->name(),
                               position(*m->field(i)), field_place(*m, *m->field(i)), m, m->field(i), bit_form});
        }
    }
    std::stable_sort(all.begin(), all.end(), earlier<Declared>);
    std::map<std::string, const Declared *> first;
    std::set<std::pair<const void *, const void *>> told;
    for (const Declared &d : all) {
        const auto [it, fresh] = first.emplace(d.name, &d);
        if (fresh) continue;
        const Declared &e = *it->second;
        if (!told.insert(e.owner == d.owner ? std::pair(e.part, d.part) : std::pair(e.owner, d.owner)).second)
            continue;
        std::string other = e.file.empty() ? "libkest's" : e.role + " of " + (e.place.empty() ? e.file : e.place);
        if (!e.place.empty() && e.file != d.file) other += " in " + e.file;
        out.push_back({d.file, d.at,
                       (d.place.empty() ? "" : d.place + ": ") + d.role + " " + d.name + ", also " + other +
                           ", is not supported; rename " + (e.file.empty() ? "it" : "one of them") + ": " + d.how});
    }
}

}  // namespace

std::vector<std::string> refusals(const std::vector<const pb::FileDescriptor *> &files, const std::string &prefix) {
    // The requested files and every file their headers include, with the place that includes it.
    std::vector<const pb::FileDescriptor *> reached;
    std::map<const pb::FileDescriptor *, const pb::FileDescriptor *> by;
    for (const pb::FileDescriptor *f : files)
        if (std::find(reached.begin(), reached.end(), f) == reached.end()) reached.push_back(f);
    for (size_t i = 0; i < reached.size(); ++i)
        for (const pb::FileDescriptor *d : included(*reached[i]))
            if (std::find(reached.begin(), reached.end(), d) == reached.end()) {
                reached.push_back(d);
                by[d] = reached[i];
            }

    std::vector<Problem> problems;
    for (const pb::FileDescriptor *f : reached) check_messages(*f, problems);
    // An imported file kest cannot take breaks the header of each file that includes it.
    std::set<std::string> broken;
    for (const Problem &p : problems) broken.insert(p.file);
    for (const auto &[file, parent] : by) {
        if (!broken.count(file->name())) continue;
        const pb::FileDescriptor &from = *parent;
        // The import, or through a public one, the first field whose element the file holds.
        Position at{0, 0};
        std::string place = "import \"" + file->name() + "\"";
        for (int i = 0; i < from.dependency_count(); ++i)
            if (pb::SourceLocation loc; from.dependency(i) == file && from.GetSourceLocation({3, i}, &loc))
                at = {loc.start_line, loc.start_column};  // 3: FileDescriptorProto.dependency
        for (const Message *m : messages_of(from))
            for (int i = 0; i < m->field_count() && at == Position{0, 0}; ++i)
                if (const Message *e = m->field(i)->message_type(); e && e->file() == file) {
                    at = position(*m->field(i));
                    place = field_place(*m, *m->field(i)) + ", an element from " + file->name();
                }
        problems.push_back({from.name(), at,
                            place + ": a file kest cannot take (its lines say why) is not supported; " +
                                base_name(from) + ".kest.h would include " + base_name(*file) +
                                ".kest.h: import only files whose messages kest supports"});
    }
    check_names(reached, prefix, problems);
    std::stable_sort(problems.begin(), problems.end(), earlier<Problem>);
    std::vector<std::string> lines;
    for (const Problem &p : problems) lines.push_back(p.file + ": " + p.line);
    return lines;
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

// `declared`: its typedef came first, as a message that holds it before it is defined needs.
std::string record(const Message &m, const std::string &prefix, bool declared) {
    const std::string name = c_name(m), fn = prefix + name;
    const std::vector<const Field *> fields = by_number(m);
    std::string out = c_comment(m) + (declared ? "struct " : "typedef struct ") + name + " {\n";
    for (const Field *f : fields) {
        const std::string member = std::string(1, 'f').append(std::to_string(f->number()));
        const std::string note = f->name() == member ? "" : " /* " + f->name() + " */";
        if (is_bytes(*f) && !f->is_repeated())
            out += "    const uint8_t *" + member + ";" + note + "\n    uint64_t " + member + "_len;\n";
        else if (f->is_repeated())
            out += "    " +
                   (f->message_type() ? c_name(*f->message_type())
                    : is_bytes(*f)    ? std::string("kest_bytes")
                                      : std::string(scalar(*f)->c_type)) +
                   " *" + member + ";" + note + "\n    uint32_t n_" + member + ";\n";
        else if (f->message_type())
            out += "    " + c_name(*f->message_type()) + " *" + member + ";" + note + "\n";
        else
            out += std::string("    ") + scalar(*f)->c_type + " " + member + ";" + note + "\n";
    }
    const size_t n = fields.size();
    const bool wide = n > 64;  // then a word per 64 fields
    out += std::string("    ") + (n <= 8 ? "uint8_t" : n <= 16 ? "uint16_t" : n <= 32 ? "uint32_t" : "uint64_t") +
           " present" + (wide ? "[" + std::to_string((n + 63) / 64) + "]" : "") + ";\n}" +
           (declared ? "" : " " + name) + ";\n\n";
    // Each field's bit in `present`, its values in one column.
    if (wide) out += "/* Field i's bit is in present[i / 64]: each macro names its word. */\n";
    size_t column = 0;
    for (const Field *f : fields) column = std::max(column, bit_name(prefix, m, *f).size());
    for (size_t i = 0; i < n; ++i) {
        const std::string bit = bit_name(prefix, m, *fields[i]);
        out += "#define " + bit + std::string(column + 1 - bit.size(), ' ') + (n <= 32 ? "(1u" : "(UINT64_C(1)") +
               " << " + std::to_string(i % 64) + ")" +
               (wide ? " /* present[" + std::to_string(i / 64) + "] */" : "") + "\n" + (i + 1 == n ? "\n" : "");
    }

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
    bool implicit = false, enums = false, oneofs = false;
    for (const Message *m : order)
        for (int i = 0; i < m->field_count(); ++i) {
            const Field &f = *m->field(i);
            implicit = implicit || implicit_presence(f);
            enums = enums || f.type() == Field::TYPE_ENUM;
            oneofs = oneofs || f.real_containing_oneof();
        }
    if (implicit)
        out += "/* A proto3 field without `optional` is written when it is not zero or empty, whatever its bit. */\n";
    if (enums) out += "/* An enum field holds any value read, declared or not. */\n";
    if (oneofs)
        out += "/* Of a oneof's members, set one bit: the encoder writes every member whose bit is set, and the "
               "decoder keeps the last member that arrives. */\n";
    if (std::any_of(order.begin(), order.end(), [](const Message *m) { return m->field_count() > 0; }))
        out += "/* <PREFIX><RECORD>_<FIELD> is a field's bit in `present`: its position in the record, not its "
               "number. */\n";
    out += "#ifndef " + guard + "\n#define " + guard + "\n\n#include <kest_types.h>\n";
    for (const pb::FileDescriptor *d : included(file)) out += "#include \"" + base_name(*d) + ".kest.h\"\n";
    out += "\n#ifdef __cplusplus\nextern \"C\" {\n#endif\n\n";

    // A record that a message of a cycle holds before it is defined is declared first.
    std::set<const Message *> defined, declared;
    for (const Message *m : order) {
        for (int i = 0; i < m->field_count(); ++i)  // itself included
            if (const Message *e = m->field(i)->message_type(); e && e->file() == &file && !defined.count(e))
                declared.insert(e);
        defined.insert(m);
    }
    for (const Message *m : order)
        if (declared.count(m)) out += "typedef struct " + c_name(*m) + " " + c_name(*m) + ";\n";
    if (!declared.empty()) out += "\n";

    std::vector<std::string> records, operations;
    for (const Message *m : order) {
        out += record(*m, prefix, declared.count(m) != 0) + "\n";
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

std::string field_lists(const pb::FileDescriptor &file, const std::vector<const Message *> &order, bool speed) {
    std::string out = "// Generated by protoc-gen-kest from " + file_name(file) + ": do not edit.\n#pragma once\n\n" +
                      "#include \"core/engine.hpp\"\n#include \"" + base_name(file) + ".kest.h\"\n";
    for (const pb::FileDescriptor *d : included(file)) out += "#include \"" + base_name(*d) + ".kest.hpp\"\n";
    for (const Message *m : order) {
        // Qualified: inside the schema, a name of kest::core would hide the record.
        const std::string name = "::" + c_name(*m);
        out += "\ntemplate <>\nstruct kest::core::schema<" + name + "> {\n    using fields = field_list<";
        const std::vector<const Field *> fields = by_number(*m);
        for (size_t i = 0; i < fields.size(); ++i) {
            const Field &f = *fields[i];
            const std::string n = std::to_string(f.number()), member = "KEST_MEMBER(" + name + ", f" + n;
            const bool implicit = implicit_presence(f);
            const bool scalars = f.is_repeated() && !f.message_type();
            const pb::OneofDescriptor *oneof = f.real_containing_oneof();
            out += std::string("\n        ") + (implicit ? "implicit<" : "") +
                   (oneof ? "oneof_member<" + std::to_string(oneof->index() + 1) + ", " : "") +
                   (scalars ? "repeated_" : "") + "field<kind::";
            if (is_bytes(f) && !scalars)
                out += "bytes, " + n + ", \"" + f.name() + "\", " + member + "), " + member + "_len)>";
            else if (scalars)
                out += std::string(is_bytes(f) ? "bytes" : scalar(f)->kind) + ", " + (f.is_packed() ? "true" : "false") +
                       ", " + n + ", \"" +
                       f.name() + "\", " + member + "), KEST_MEMBER(" + name + ", n_f" + n + ")>";
            else if (f.is_repeated())
                out += "message, " + n + ", \"" + f.name() + "\", " + member + "), KEST_MEMBER(" + name + ", n_f" + n + ")>";
            else if (f.message_type())
                out += "message, " + n + ", \"" + f.name() + "\", " + member + ")>";
            else
                out += std::string(scalar(f)->kind) + ", " + n + ", \"" + f.name() + "\", " + member + ")>";
            if (implicit || oneof) out += ">";
            if (i + 1 < fields.size()) out += ",";
        }
        // Past 64 fields only the rows serve: the bits do not fit a register.
        out += std::string(">;\n") + (speed && fields.size() <= 64 ? "    static constexpr bool speed = true;\n" : "") +
               "};\n";
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

// ---- skip_unsupported: the request again, without what kest would refuse ------

// The files rebuilt in a pool of their own; each file's left-out fields as a comment for its header.
struct Stripped {
    pb::DescriptorPool pool;
    std::map<const pb::FileDescriptor *, const pb::FileDescriptor *> built;
    std::map<std::string, std::string> left_out;
};

// Drops the fields field_problem names and extensions; a oneof left empty goes too, since protoc refuses one.
void strip(const Message &m, pb::DescriptorProto &out, std::vector<std::string> &notes) {
    std::vector<const Field *> keep;
    for (const Field *f : by_number(m))
        if (const std::string why = field_problem(*f); !why.empty())
            notes.push_back(field_place(m, *f) + ": " + why);
        else
            keep.push_back(f);
    const pb::DescriptorProto all = out;
    out.clear_field();
    out.clear_oneof_decl();
    std::vector<int> oneof(size_t(m.oneof_decl_count()), -1);
    for (const Field *f : keep)
        if (f->containing_oneof()) oneof[size_t(f->containing_oneof()->index())] = 0;
    for (size_t i = 0; i < oneof.size(); ++i)  // in their order: synthetic oneofs stay last
        if (oneof[i] == 0) {
            oneof[i] = out.oneof_decl_size();
            *out.add_oneof_decl() = all.oneof_decl(int(i));
        }
    for (int i = 0; i < m.field_count(); ++i)
        if (std::find(keep.begin(), keep.end(), m.field(i)) != keep.end()) {
            pb::FieldDescriptorProto &f = *out.add_field() = all.field(i);
            if (f.has_oneof_index()) f.set_oneof_index(oneof[size_t(f.oneof_index())]);
        }
    for (int i = 0; i < m.extension_count(); ++i)
        notes.push_back("extension " + m.extension(i)->full_name() + ": an extension");
    out.clear_extension();
    for (int i = 0; i < m.nested_type_count(); ++i) strip(*m.nested_type(i), *out.mutable_nested_type(i), notes);
}

const pb::FileDescriptor *rebuild(const pb::FileDescriptor &file, Stripped &s) {
    if (const auto it = s.built.find(&file); it != s.built.end()) return it->second;
    for (int i = 0; i < file.dependency_count(); ++i)
        if (!rebuild(*file.dependency(i), s)) return nullptr;
    pb::FileDescriptorProto proto;
    file.CopyTo(&proto);
    file.CopySourceCodeInfoTo(&proto);  // messages keep their paths, so their comments
    std::vector<std::string> notes;
    for (int i = 0; i < file.message_type_count(); ++i) strip(*file.message_type(i), *proto.mutable_message_type(i), notes);
    for (int i = 0; i < file.extension_count(); ++i)
        notes.push_back("extension " + file.extension(i)->full_name() + ": an extension");
    proto.clear_extension();
    if (!notes.empty()) {
        std::string &text = s.left_out[file.name()];
        text = "/* Left out by skip_unsupported: on the wire these are unknown fields, skipped.\n";
        for (const std::string &n : notes) text += " * " + n + "\n";
        text += " */\n";
    }
    return s.built[&file] = s.pool.BuildFile(proto);
}

}  // namespace

bool Generator::Generate(const pb::FileDescriptor *file, const std::string &parameter,
                         pb::compiler::GeneratorContext *context, std::string *error) const {
    return GenerateAll({file}, parameter, context, error);
}

bool Generator::GenerateAll(const std::vector<const pb::FileDescriptor *> &files, const std::string &parameter,
                            pb::compiler::GeneratorContext *context, std::string *error) const {
    std::vector<std::pair<std::string, std::string>> options;
    pb::compiler::ParseGeneratorParameter(parameter, &options);
    std::string prefix;
    bool split = false, speed = false, skip = false;
    for (const auto &[key, value] : options) {
        if (key == "prefix") {
            prefix = value;
        } else if (key == "split" && value.empty()) {
            split = true;
        } else if (key == "speed" && value.empty()) {
            speed = true;
        } else if (key == "skip_unsupported" && value.empty()) {
            skip = true;
        } else {
            *error = "unknown parameter " + key + (value.empty() ? "" : "=" + value) +
                     "; protoc-gen-kest takes prefix=NAME, split, speed and skip_unsupported";
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
    Stripped stripped;
    std::vector<const pb::FileDescriptor *> request = files;
    if (skip)
        for (const pb::FileDescriptor *&file : request)
            if (file = rebuild(*file, stripped); !file) {
                *error = "skip_unsupported: a file does not build without its unsupported fields";
                return false;
            }
    // The whole request first: nothing is written unless all of it compiles.
    if (const std::vector<std::string> lines = refusals(request, prefix); !lines.empty()) {
        for (const std::string &line : lines) *error += (error->empty() ? "" : "\n") + line;
        return false;
    }

    for (const pb::FileDescriptor *file : request) {
        const std::vector<const Message *> order = emission_order(*file);
        const std::string base = base_name(*file), include = "#include \"" + base + ".kest.hpp\"\n";
        std::string head = header(*file, order, prefix);
        head.insert(head.find('\n') + 1, stripped.left_out[file->name()]);
        write(*context, base + ".kest.h", head);
        write(*context, base + ".kest.hpp", field_lists(*file, order, speed));
        if (split) {
            for (const Message *m : order)
                write(*context, c_name(*m) + ".kest.cpp", include + "\n" + operations(*m, prefix));
        } else {
            std::string all = include + (order.empty() ? "" : "\n");
            for (const Message *m : order) all += operations(*m, prefix);
            write(*context, base + ".kest.cpp", all);
        }
    }
    return true;
}

}  // namespace kest::gen
