#include "nans.hpp"

#include <cctype>
#include <cstdlib>
#include <strings.h>

// The word: spaces, a sign, "nan" in any case, and then perhaps "(chars)", chars being letters,
// digits and '_'. Where the chars are wholly an unsigned number in C's notation (decimal, 0x
// hex, 0 octal; too large gives all ones), its low 51 bits are the double's payload, beside its
// quiet bit; otherwise it has none. Narrowing keeps the payload's top 22 bits.
float nan_of_word(const char *word) {
  while (isspace(static_cast<unsigned char>(*word))) word++;
  const bool negative = *word == '-';
  if (*word == '-' || *word == '+') word++;
  uint64_t payload = 0;
  if (strncasecmp(word, "nan(", 4) == 0) {
    const char *chars = word + 4, *end = chars;
    while (isalnum(static_cast<unsigned char>(*end)) || *end == '_') end++;
    char *number_end;
    const unsigned long long n = strtoull(chars, &number_end, 0);
    if (*end == ')' && number_end == end) payload = n & ((uint64_t{1} << 51) - 1);
  }
  return float_of_bits(uint32_t{negative} << 31 | 0x7fc00000 |
                      static_cast<uint32_t>(payload >> 29));
}
