// libFuzzer target: one raw DEFLATE stream, judged by zlib and by the
// reader's whole-buffer decoder.
//
// zlib's verdict is the reference: the whole-buffer decoder must accept the
// stream for exactly the output size zlib produces, with zlib's bytes, and
// refuse it for every other size this target tries (including the size a
// more lenient decoder would produce). With libdeflate in the build, the
// streams that the fast-decoder check lets through must also get the same
// verdict and bytes from libdeflate itself. The in-house decoder of one
// dynamic block may say "decoded" only with zlib's size and bytes.

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#if ZU_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include "zip/block_check.h"
#include "zip/member.h"

namespace {

// Streams are decoded into at most this much; more counts as a refusal.
constexpr size_t kMaxOutput = size_t{1} << 20;

struct Verdict {
  bool ok = false;
  std::vector<uint8_t> bytes;  // the output, or whatever came before the failure
};

Verdict zlib_verdict(std::span<const uint8_t> in) {
  Verdict v;
  z_stream z;
  std::memset(&z, 0, sizeof z);
  if (inflateInit2(&z, -15) != Z_OK) __builtin_trap();
  v.bytes.resize(kMaxOutput);
  z.next_in = const_cast<uint8_t*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = v.bytes.data();
  z.avail_out = static_cast<uInt>(v.bytes.size());
  v.ok = inflate(&z, Z_FINISH) == Z_STREAM_END;
  v.bytes.resize(z.total_out);
  inflateEnd(&z);
  return v;
}

#if ZU_HAVE_LIBDEFLATE
Verdict libdeflate_verdict(std::span<const uint8_t> in) {
  Verdict v;
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  if (d == nullptr) __builtin_trap();
  v.bytes.resize(kMaxOutput);
  size_t used_in = 0, used_out = 0;
  v.ok = libdeflate_deflate_decompress_ex(d, in.data(), in.size(), v.bytes.data(), v.bytes.size(),
                                          &used_in, &used_out) == LIBDEFLATE_SUCCESS;
  v.bytes.resize(v.ok ? used_out : 0);
  libdeflate_free_decompressor(d);
  return v;
}
#endif

// decode_exact with an output of exactly `size` bytes must succeed only
// when zlib made exactly that many, and then with zlib's bytes.
void check_size(zu::zip::WholeDecoder& whole, std::span<const uint8_t> in, const Verdict& zlib,
                size_t size) {
  std::unique_ptr<uint8_t[]> out(new uint8_t[size + 1]);
  const bool ok = whole.decode_exact(in, {out.get(), size});
  const bool expected = zlib.ok && zlib.bytes.size() == size;
  if (ok != expected) __builtin_trap();
  if (ok && size != 0 && std::memcmp(out.get(), zlib.bytes.data(), size) != 0) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> in(data, size);
  const Verdict zlib = zlib_verdict(in);
  static zu::zip::WholeDecoder whole;
  check_size(whole, in, zlib, zlib.bytes.size());
  check_size(whole, in, zlib, zlib.bytes.size() + 1);
  if (!zlib.bytes.empty()) check_size(whole, in, zlib, zlib.bytes.size() - 1);
#if ZU_HAVE_LIBDEFLATE
  const Verdict lenient = libdeflate_verdict(in);
  if (lenient.ok) check_size(whole, in, zlib, lenient.bytes.size());
  if (zu::zip::fast_decoder_agrees(in) &&
      (lenient.ok != zlib.ok || (zlib.ok && lenient.bytes != zlib.bytes))) {
    __builtin_trap();
  }
#endif
  // The in-house decoder of one dynamic block: "decoded" only with zlib's
  // size and bytes, and, for a stream zlib takes whole, never a failure.
  // The largest room lets it decode all it can of any stream.
  static zu::zip::DecodeTables tables;
  for (size_t room : {zlib.bytes.size(), zlib.bytes.size() + 1, kMaxOutput}) {
    std::unique_ptr<uint8_t[]> out(new uint8_t[room + 1]);
    const zu::zip::SingleBlock r =
        zu::zip::decode_single_dynamic_block(in, {out.get(), room}, tables);
    const bool expected = zlib.ok && zlib.bytes.size() == room;
    if (r == zu::zip::SingleBlock::kDecoded &&
        (!expected || (room != 0 && std::memcmp(out.get(), zlib.bytes.data(), room) != 0))) {
      __builtin_trap();
    }
    if (r == zu::zip::SingleBlock::kFailed && expected) __builtin_trap();
  }
  if (auto payload = zu::zip::single_stored_block(in)) {
    if (!zlib.ok || zlib.bytes.size() != payload->size() ||
        !std::equal(payload->begin(), payload->end(), zlib.bytes.begin())) {
      __builtin_trap();
    }
  }
  return 0;
}
