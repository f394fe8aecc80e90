// protoc-gen-kest: from a .proto, the C records and prototypes (B.kest.h), the field
// lists the engine reads (B.kest.hpp) and the operations (B.kest.cpp, or one file a
// message with the parameter `split`).
#pragma once

#include <google/protobuf/compiler/code_generator.h>
#include <google/protobuf/descriptor.h>

#include <cstdint>
#include <string>

namespace kest::gen {

// "" when kest can take every message of the file, else one line naming the first
// thing it cannot.
std::string refusal(const google::protobuf::FileDescriptor &file);

class Generator : public google::protobuf::compiler::CodeGenerator {
public:
    bool Generate(const google::protobuf::FileDescriptor *file, const std::string &parameter,
                  google::protobuf::compiler::GeneratorContext *context, std::string *error) const override;
    // A proto3 `optional` field has presence, like a proto2 one.
    uint64_t GetSupportedFeatures() const override { return FEATURE_PROTO3_OPTIONAL; }
};

}  // namespace kest::gen
