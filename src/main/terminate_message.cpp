// The C++ runtime's default terminate handler names the type of an uncaught exception, and for that
// alone it links the runtime's whole name demangler: about 45 KB, a tenth of the program. Without
// it the handler prints the same message with the type's mangled name ("St9bad_alloc" instead of
// "std::bad_alloc"), on a standard error stream that a GUI program seldom has. Linked into the
// program itself so that it comes before the runtime's definition.
#include <cstddef>

namespace __cxxabiv1 {

extern "C" char* __cxa_demangle(const char*, char*, std::size_t*, int* status) {
  if (status != nullptr) *status = -2;  // "not a valid mangled name"
  return nullptr;
}

}  // namespace __cxxabiv1
