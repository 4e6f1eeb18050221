# cmake -DIN=docs/reference.md -DOUT=file.cpp -P reference_examples.cmake
# Writes the reference's C++ examples (its ```cpp blocks; ```c++ blocks are
# declarations) into one program: each block becomes a function, and main
# runs them in order. The examples check their claims with assert.
# The project's policies, here too: without them CMake before 4 reads
# while(TRUE) with its pre-2.8 rules, as a variable that is not set.
cmake_minimum_required(VERSION 3.21)
file(READ "${IN}" text)
set(program "// Generated from docs/reference.md by tests/cpp/reference_examples.cmake.
#undef NDEBUG
#include <cassert>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <quarnel/quarnel.h>

using namespace quarnel;
")
set(calls "")
set(count 0)
while(TRUE)
  string(FIND "${text}" "\n```cpp\n" start)
  if(start EQUAL -1)
    break()
  endif()
  math(EXPR start "${start} + 8")
  string(SUBSTRING "${text}" ${start} -1 text)
  string(FIND "${text}" "\n```" end)
  string(SUBSTRING "${text}" 0 ${end} code)
  string(SUBSTRING "${text}" ${end} -1 text)
  string(APPEND program "\nstatic void example_${count}() {\n${code}\n}\n")
  string(APPEND calls "    example_${count}();\n")
  math(EXPR count "${count} + 1")
endwhile()
if(count EQUAL 0)
  message(FATAL_ERROR "no C++ examples found in ${IN}")
endif()
string(APPEND program "\nint main() {\n${calls}    return 0;\n}\n")
file(WRITE "${OUT}" "${program}")
