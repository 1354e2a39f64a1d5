#include <gtest/gtest.h>

#include <cstring>

int ServeSlowLineEvents();

// The binary doubles as the client processes that some tests need on the far side of a real connection.
int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--serve-slow-line-events") == 0) return ServeSlowLineEvents();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
