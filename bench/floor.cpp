// The streaming floor: reads two sample files and writes the first back out through 1 MiB
// buffers, computing nothing. No program that reads both inputs whole and writes the result
// can be faster by more than what it overlaps.
//   floor a.bin b.bin out.bin
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

static ssize_t read_fully(int fd, char *buf, size_t n) {
  size_t done = 0;
  while (done < n) {
    const ssize_t r = read(fd, buf + done, n - done);
    if (r < 0) return -1;
    if (r == 0) break;
    done += r;
  }
  return done;
}

int main(int argc, char **argv) {
  if (argc != 4) return 2;
  const size_t kBuffer = 1 << 20;
  alignas(4096) static char a[1 << 20], b[1 << 20];  // page-aligned, as quarvel's are
  const int in1 = open(argv[1], O_RDONLY), in2 = open(argv[2], O_RDONLY);
  const int out = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (in1 < 0 || in2 < 0 || out < 0) return 1;
  for (;;) {
    const ssize_t n = read_fully(in1, a, kBuffer);
    if (n < 0 || read_fully(in2, b, kBuffer) < 0) return 1;
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = write(out, a + done, n - done);
      if (w <= 0) return 1;
      done += w;
    }
  }
  return close(out) == 0 ? 0 : 1;
}
