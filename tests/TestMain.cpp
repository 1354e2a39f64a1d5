#include <gtest/gtest.h>

#include <cstring>

#include <string>

int ServeSlowLineEvents();
int ServeLineEvents();
int ServeAsTlsClient(const std::string& corbaloc, const std::string& certificate, const std::string& key,
                     const std::string& ca);

// The binary doubles as the client processes that some tests need on the far side of a real connection.
int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--serve-slow-line-events") == 0) return ServeSlowLineEvents();
  if (argc == 2 && std::strcmp(argv[1], "--serve-line-events") == 0) return ServeLineEvents();
  if (argc == 6 && std::strcmp(argv[1], "--tls-client") == 0)
    return ServeAsTlsClient(argv[2], argv[3], argv[4], argv[5]);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
