// Comparing erase blocks: with the image, and with erased flash.
//
// An unchanged rewrite is these compares and the reads, nothing more, so
// they decide how close it comes to a plain read of the partition.  They
// only need to know whether the bytes differ, not which are less: on ARM
// cores with NEON (most of the cameras' Cortex-A cores; armhf does not
// promise it, so the kernel is asked) 128 bytes at a time, elsewhere eight
// machine words at a time where both ranges are word-aligned (the image's
// blocks and the module's buffers are), and a word at a time for the rest.
// On qemu's Cortex-A15 the single-word loop compares 4 MiB in 2.6 ms
// against memcmp's 7.4 ms; the NEON loop takes a quarter of its
// instructions.  On qemu's Cortex-A7 of the ast2600, whose kernel reports
// no NEON, the eight-word loops take about half of the single-word
// compare's instructions and a third of the erased test's.

#include <cstring>

#include "flash_private.h"

#if defined(__arm__)
#include <arm_neon.h>
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace {

constexpr unsigned long kErasedWord = ~0UL;  // a machine word of erased bytes
constexpr unsigned char kErased = 0xFF;

// A machine word read straight from a byte buffer.
using BufferWord = unsigned long __attribute__((may_alias));
constexpr size_t kWordStep = 8 * sizeof(BufferWord);

bool WordAligned(const unsigned char *bytes) { return reinterpret_cast<uintptr_t>(bytes) % sizeof(BufferWord) == 0; }

// The bytes before the first eight-word step that differs, both ranges
// word-aligned: the differences of a step are folded into one test, which
// the compiler can feed with two multiple-register loads.
size_t EqualWordSteps(const unsigned char *one, const unsigned char *other, size_t length) {
  const BufferWord *a = reinterpret_cast<const BufferWord *>(one);
  const BufferWord *b = reinterpret_cast<const BufferWord *>(other);
  size_t at = 0;
  for (; at + kWordStep <= length; at += kWordStep, a += 8, b += 8) {
    if (((a[0] ^ b[0]) | (a[1] ^ b[1]) | (a[2] ^ b[2]) | (a[3] ^ b[3]) | (a[4] ^ b[4]) | (a[5] ^ b[5]) |
         (a[6] ^ b[6]) | (a[7] ^ b[7])) != 0) {
      break;
    }
  }
  return at;
}

// The bytes before the first eight-word step that is not all 0xFF, the
// range word-aligned.
size_t ErasedWordSteps(const unsigned char *bytes, size_t length) {
  const BufferWord *w = reinterpret_cast<const BufferWord *>(bytes);
  size_t at = 0;
  for (; at + kWordStep <= length; at += kWordStep, w += 8) {
    if ((w[0] & w[1] & w[2] & w[3] & w[4] & w[5] & w[6] & w[7]) != kErasedWord) {
      break;
    }
  }
  return at;
}

#if defined(__arm__)
constexpr size_t kNeonStep = 128;

bool HasNeon() { return (getauxval(AT_HWCAP) & HWCAP_NEON) != 0; }

// The two halves of a register folded into one 64-bit word.
__attribute__((target("fpu=neon"))) uint64_t Fold(uint8x16_t bytes, bool together) {
  uint64x2_t wide = vreinterpretq_u64_u8(bytes);
  uint64x1_t folded = together ? vand_u64(vget_low_u64(wide), vget_high_u64(wide))
                               : vorr_u64(vget_low_u64(wide), vget_high_u64(wide));
  return vget_lane_u64(folded, 0);
}

// The differing bits of one 16-byte register of each range.
__attribute__((target("fpu=neon"))) inline uint8x16_t Diff(const unsigned char *one, const unsigned char *other) {
  return veorq_u8(vld1q_u8(one), vld1q_u8(other));
}

// The bytes before the first 128-byte step that differs.  Written out:
// a loop over the step's registers keeps its sum in memory at -Os.
__attribute__((target("fpu=neon"))) size_t EqualNeonSteps(const unsigned char *one, const unsigned char *other,
                                                          size_t length) {
  size_t at = 0;
  for (; at + kNeonStep <= length; at += kNeonStep, one += kNeonStep, other += kNeonStep) {
    uint8x16_t low = vorrq_u8(vorrq_u8(Diff(one, other), Diff(one + 16, other + 16)),
                              vorrq_u8(Diff(one + 32, other + 32), Diff(one + 48, other + 48)));
    uint8x16_t high = vorrq_u8(vorrq_u8(Diff(one + 64, other + 64), Diff(one + 80, other + 80)),
                               vorrq_u8(Diff(one + 96, other + 96), Diff(one + 112, other + 112)));
    if (Fold(vorrq_u8(low, high), false) != 0) {
      break;
    }
  }
  return at;
}

// The bytes before the first 128-byte step that is not all 0xFF.
__attribute__((target("fpu=neon"))) size_t ErasedNeonSteps(const unsigned char *bytes, size_t length) {
  size_t at = 0;
  for (; at + kNeonStep <= length; at += kNeonStep, bytes += kNeonStep) {
    uint8x16_t low = vandq_u8(vandq_u8(vld1q_u8(bytes), vld1q_u8(bytes + 16)),
                              vandq_u8(vld1q_u8(bytes + 32), vld1q_u8(bytes + 48)));
    uint8x16_t high = vandq_u8(vandq_u8(vld1q_u8(bytes + 64), vld1q_u8(bytes + 80)),
                               vandq_u8(vld1q_u8(bytes + 96), vld1q_u8(bytes + 112)));
    if (Fold(vandq_u8(low, high), true) != ~0ULL) {
      break;
    }
  }
  return at;
}
#endif

// The bytes before the first step that differs, in the widest steps the
// core and the alignment allow (none: 0).
size_t EqualSteps(const unsigned char *one, const unsigned char *other, size_t length) {
#if defined(__arm__)
  if (HasNeon()) {
    return EqualNeonSteps(one, other, length);
  }
#endif
  return WordAligned(one) && WordAligned(other) ? EqualWordSteps(one, other, length) : 0;
}

size_t ErasedSteps(const unsigned char *bytes, size_t length) {
#if defined(__arm__)
  if (HasNeon()) {
    return ErasedNeonSteps(bytes, length);
  }
#endif
  return WordAligned(bytes) ? ErasedWordSteps(bytes, length) : 0;
}

}  // namespace

bool SameBytes(const unsigned char *one, const unsigned char *other, size_t length) {
  size_t at = EqualSteps(one, other, length);
  for (; at + sizeof(unsigned long) <= length; at += sizeof(unsigned long)) {
    unsigned long word;
    unsigned long otherWord;
    memcpy(&word, one + at, sizeof word);
    memcpy(&otherWord, other + at, sizeof otherWord);
    if (word != otherWord) {
      return false;
    }
  }
  return memcmp(one + at, other + at, length - at) == 0;
}

bool AllErased(const unsigned char *bytes, size_t length) {
  size_t at = ErasedSteps(bytes, length);
  for (; at + sizeof kErasedWord <= length; at += sizeof kErasedWord) {
    unsigned long word;
    memcpy(&word, bytes + at, sizeof word);
    if (word != kErasedWord) {
      return false;
    }
  }
  for (; at < length; ++at) {
    if (bytes[at] != kErased) {
      return false;
    }
  }
  return true;
}
