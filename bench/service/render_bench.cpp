// Times the service's own work per request: building a play page from the
// query string, with no network or HTTP library involved.
// Usage: kada-vod-service-render-bench [ITERATIONS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "pages.hpp"

int main(int argc, char** argv) {
  const long iterations = argc > 1 ? std::atol(argv[1]) : 200000;
  if (iterations <= 0) {
    std::fprintf(stderr, "usage: %s [ITERATIONS > 0]\n", argv[0]);
    return 2;
  }
  struct Case {
    const char* name;
    std::string query;
  };
  const std::vector<Case> cases = {
      {"media", "str=http://127.0.0.1:8765/media/sample.webm"},
      {"media-escaped", "str=http://example.com/%E7%94%B5%E5%BD%B1/%E7%AC%AC1%E9%9B%86.mp4?a=1&b=2"},
      {"thunder", "str=thunder://QUFodHRwOi8vZXhhbXBsZS5jb20vYS5tcDRaWg=="},
      {"magnet", "str=magnet:?xt=urn:btih:0123456789abcdef0123456789abcdef01234567&dn=Some%20Movie"
                 "&xl=1503238553&tr=udp://tracker.example:80/announce&tr=http://t.example/announce"},
      {"ed2k", "str=ed2k://|file|%E7%94%B5%E5%BD%B1.avi|734003200|0123456789ABCDEF0123456789ABCDEF|/"},
      {"not-a-link", "str=just%20some%20words%20%3Cscript%3E"},
      {"long-4k", "str=http://example.com/" + std::string(4096, 'a') + ".mp4"},
  };
  std::size_t sink = 0;
  std::printf("%-14s %12s %10s\n", "page", "ns/page", "bytes");
  for (const Case& c : cases) {
    std::size_t bytes = 0;
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < iterations; ++i) {
      const kada::Page page = kada::render_play(c.query, "127.0.0.1:8765");
      bytes = page.html.size();
      sink += bytes;
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const double ns = std::chrono::duration<double, std::nano>(elapsed).count() / static_cast<double>(iterations);
    std::printf("%-14s %12.0f %10zu\n", c.name, ns, bytes);
  }
  // Printed so the compiler cannot drop the loop.
  std::printf("(%ld iterations per page, %zu bytes rendered in all)\n", iterations, sink);
  return 0;
}
