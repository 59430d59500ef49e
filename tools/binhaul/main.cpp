// binhaul: moves one file into the freedesktop.org Trash of the user it runs as.
//
//   binhaul /path FILE [blank arguments...]
//
// The trash logic is GIO's g_file_trash, the reference implementation of the
// freedesktop.org Trash layout. Exit status 0 when the file is in the trash; otherwise a
// single line on standard error and a non-zero status, so that the caller can
// delete the file for good instead.
#include <gio/gio.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace {

constexpr int kTrashFailed = 1;
constexpr int kBadUsage = 2;

// Owns a GObject reference or a GError for the length of a scope.
struct UnrefObject {
  void operator()(gpointer object) const { g_object_unref(object); }
};
struct FreeError {
  void operator()(GError* error) const { g_error_free(error); }
};

bool IsBlank(std::string_view text) {
  return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

// File names may hold any byte but '/' and NUL; keep the message on one line
// and printable by escaping control bytes and bytes that are not UTF-8.
std::string Printable(std::string_view text) {
  std::string out;
  const char* end = text.data() + text.size();
  const char* p = text.data();
  while (p < end) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c >= 0x80) {
      const gchar* valid_end = nullptr;
      g_utf8_validate(p, end - p, &valid_end);
      if (valid_end > p) {
        out.append(p, valid_end);
        p = valid_end;
        continue;
      }
    }
    if (c < 0x20 || c == 0x7f || c >= 0x80 || c == '\\') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
    ++p;
  }
  return out;
}

int Usage() {
  std::fputs("binhaul: usage: binhaul /path FILE\n", stderr);
  return kBadUsage;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || std::strcmp(argv[1], "/path") != 0 || argv[2][0] == '\0') return Usage();
  // The caller quotes the path and may leave a trailing blank or empty argument.
  for (int i = 3; i < argc; ++i) {
    if (!IsBlank(argv[i])) return Usage();
  }
  const char* path = argv[2];

  // The local implementation needs no session bus; a GVfs module would try to
  // reach one, and the program may run where there is none.
  g_setenv("GIO_USE_VFS", "local", TRUE);

  // g_file_new_for_path only rewrites the name lexically; no link is resolved,
  // and g_file_trash renames a symbolic link itself, never its target.
  std::unique_ptr<GFile, UnrefObject> file(g_file_new_for_path(path));
  GError* raw_error = nullptr;
  if (!g_file_trash(file.get(), nullptr, &raw_error)) {
    std::unique_ptr<GError, FreeError> error(raw_error);
    std::fprintf(stderr, "binhaul: cannot move %s to the trash: %s\n", Printable(path).c_str(),
                 error ? Printable(error->message).c_str() : "unknown error");
    return kTrashFailed;
  }
  return 0;
}
