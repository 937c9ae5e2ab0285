// Compiles the generated tables of src/text/generated/ into the library (the
// build collects sources one directory deep only).
#include "text/generated/translit_tables.cpp"
#include "text/generated/unicode8_tables.cpp"
