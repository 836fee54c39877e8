#include "download/pe_signature.h"

namespace quorvel {

namespace {

uint32_t read16(Bytes b, size_t at) {
  return b[at] | (b[at + 1] << 8);
}
uint32_t read32(Bytes b, size_t at) {
  return read16(b, at) | (read16(b, at + 2) << 16);
}

constexpr uint32_t SECURITY_DIRECTORY = 4;
constexpr uint32_t WIN_CERT_REVISION_2_0 = 0x0200, WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002;

Error unsigned_file(const char* why) {
  return Error::kind(ErrorKind::NotFound, why);
}
Error malformed(const char* why) {
  return Error::kind(ErrorKind::InvalidData, why);
}

}  // namespace

Result<PeSignature> find_pe_signature(Bytes file) {
  if (file.size() < 0x40 || file[0] != 'M' || file[1] != 'Z') return unsigned_file("not a PE file");
  const size_t pe = read32(file, 0x3C);
  if (pe > file.size() || file.size() - pe < 24 || read32(file, pe) != 0x00004550)  // "PE\0\0"
    return unsigned_file("not a PE file");
  const size_t optional_size = read16(file, pe + 20);
  const size_t optional = pe + 24;
  if (file.size() - optional < optional_size || optional_size < 2)
    return unsigned_file("not a PE file");
  const uint32_t magic = read16(file, optional);
  const size_t directories = magic == 0x10B ? 96 : magic == 0x20B ? 112 : 0;
  if (directories == 0) return unsigned_file("not a PE file");
  if (optional_size < directories ||
      read32(file, optional + directories - 4) <= SECURITY_DIRECTORY ||
      optional_size < directories + 8 * (SECURITY_DIRECTORY + 1))
    return unsigned_file("no certificate table");

  PeSignature found;
  found.checksum_at = optional + 64;
  found.directory_at = optional + directories + 8 * SECURITY_DIRECTORY;
  const size_t table = read32(file, found.directory_at);
  const size_t table_size = read32(file, found.directory_at + 4);
  if (table == 0 && table_size == 0) return unsigned_file("no certificate table");
  if (table < found.directory_at + 8 || table > file.size() || file.size() - table < table_size)
    return malformed("the certificate table lies outside the file");
  if (table + table_size != file.size()) return malformed("bytes follow the certificate table");
  found.table_at = table;

  Bytes entry = file.subspan(table);
  if (entry.size() < 8) return malformed("the certificate table is too short");
  const size_t length = read32(entry, 0);
  if (read16(entry, 4) != WIN_CERT_REVISION_2_0 ||
      read16(entry, 6) != WIN_CERT_TYPE_PKCS_SIGNED_DATA)
    return malformed("the certificate table holds no Authenticode signature");
  if (length < 8 || length > entry.size()) return malformed("the certificate entry is cut short");
  Bytes contents = entry.subspan(8, length - 8);
  Bytes after = contents;
  auto signature = der::take(after, der::SEQUENCE);
  if (!signature) return malformed("the signature is no DER");
  // Signers pad the entry or only the table to 8 bytes; either way nothing else may follow.
  Bytes padding = entry.subspan(8 + signature->whole.size());
  if (padding.size() >= 8 || entry.size() % 8 != 0)
    return malformed("the certificate table holds more than the signature");
  for (uint8_t b : padding) {
    if (b != 0) return malformed("the certificate table holds more than the signature");
  }
  found.signature = signature->whole;
  return found;
}

std::vector<uint8_t> authenticode_image(std::vector<uint8_t> file, const PeSignature& signature) {
  file.resize(signature.table_at);
  file.erase(file.begin() + static_cast<ptrdiff_t>(signature.directory_at),
             file.begin() + static_cast<ptrdiff_t>(signature.directory_at + 8));
  file.erase(file.begin() + static_cast<ptrdiff_t>(signature.checksum_at),
             file.begin() + static_cast<ptrdiff_t>(signature.checksum_at + 4));
  return file;
}

}  // namespace quorvel
