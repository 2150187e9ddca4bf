// Readable names for table-driven tests, made from each case's description.
#ifndef BRMARK_TESTS_CASE_NAME_H
#define BRMARK_TESTS_CASE_NAME_H

#include <gtest/gtest.h>

#include <cctype>
#include <string>

namespace brmark::testing {

template <class Case>
std::string case_name(const ::testing::TestParamInfo<Case>& info) {
  std::string name;
  for (const char* at = info.param.what; *at != '\0'; ++at) {
    name += std::isalnum(static_cast<unsigned char>(*at)) ? *at : '_';
  }
  return name;
}

}  // namespace brmark::testing

#endif
