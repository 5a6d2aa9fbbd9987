# Writes OUTPUT, a C++ source holding every SAMPLES_DIR/*.eml file byte for byte, in name order.
file(GLOB samples "${SAMPLES_DIR}/*.eml")
list(SORT samples)
set(arrays "")
set(table "")
set(index 0)
foreach(path IN LISTS samples)
  get_filename_component(name "${path}" NAME)
  file(READ "${path}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND arrays "const unsigned char kSample${index}[] = {${bytes}};\n")
  string(APPEND table "    {\"${name}\", {reinterpret_cast<const char*>(kSample${index}), "
                      "sizeof kSample${index}}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.new"
  "// Generated from the files in src/demo/samples; do not edit.\n"
  "#include \"demo/demo_samples.h\"\n\nnamespace qm {\n\nnamespace {\n\n${arrays}\n"
  "const DemoSample kSamples[] = {\n${table}};\n\n}  // namespace\n\n"
  "std::span<const DemoSample> DemoSamples() { return kSamples; }\n\n}  // namespace qm\n")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
