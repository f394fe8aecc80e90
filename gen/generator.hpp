// protoc-gen-kest: from a .proto, the C records and prototypes (B.kest.h), the field
// lists the engine reads (B.kest.hpp) and the operations (B.kest.cpp, or one file a
// message with the parameter `split`).
#pragma once

#include <google/protobuf/compiler/code_generator.h>
#include <google/protobuf/descriptor.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kest::gen {

// What would not compile if the files were generated with this prefix, one line each,
// sorted by file then position: kinds kest cannot take in them or in any file their
// headers include, and names that clash or are reserved. None when all can be written.
std::vector<std::string> refusals(const std::vector<const google::protobuf::FileDescriptor *> &files,
                                  const std::string &prefix);

class Generator : public google::protobuf::compiler::CodeGenerator {
public:
    bool Generate(const google::protobuf::FileDescriptor *file, const std::string &parameter,
                  google::protobuf::compiler::GeneratorContext *context, std::string *error) const override;
    // Checks the whole request before writing any of it.
    bool GenerateAll(const std::vector<const google::protobuf::FileDescriptor *> &files, const std::string &parameter,
                     google::protobuf::compiler::GeneratorContext *context, std::string *error) const override;
    // A proto3 `optional` field has presence, like a proto2 one.
    uint64_t GetSupportedFeatures() const override { return FEATURE_PROTO3_OPTIONAL; }
};

}  // namespace kest::gen
