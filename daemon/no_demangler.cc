// The C++ runtime's demangler, left out of the static firmware program.
//
// A statically linked runtime brings its whole demangler (about 100 KB of
// MIPS code and tables, a sixth of the agent) for one line: the one it
// prints before aborting on an exception nobody caught. With this stand-in
// that line names the exception's type as the compiler encodes it
// ("NSt3__112system_errorE" for std::__1::system_error), followed by the
// exception's own text as before; `c++filt` decodes the name. The agent
// itself never demangles a name.
#include <cxxabi.h>

#include <cstddef>

namespace __cxxabiv1 {

extern "C" char* __cxa_demangle(const char* /*mangled_name*/, char* /*output_buffer*/,
                                std::size_t* /*length*/, int* status) {
  if (status != nullptr) *status = -2;  // not a name it can decode: callers keep the encoded one
  return nullptr;
}

}  // namespace __cxxabiv1
