#include "generator.hpp"

#include <google/protobuf/compiler/plugin.h>

int main(int argc, char *argv[]) {
    kest::gen::Generator generator;
    return google::protobuf::compiler::PluginMain(argc, argv, &generator);
}
