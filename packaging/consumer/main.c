// SPDX-License-Identifier: MIT
/* A program built against an installed velquart-gifexport: it only compiles
 * and links if the header and the library are found, and it exits 0 only if
 * the library answers with the texts it promises. */
#include <stdio.h>
#include <string.h>

#include "gifexport.h"

int main(void) {
  const char *version = gifexport_version();
  const char *prefix = "1.0.0 (libavfilter ";
  const size_t length = strlen(version);
  if (strncmp(version, prefix, strlen(prefix)) != 0 || version[length - 1] != ')') {
    fprintf(stderr, "unexpected version text: %s\n", version);
    return 1;
  }

  const char *probe = gifexport_probe(NULL);
  const char *expected = "{\"ok\":false,\"error\":\"empty path\"}";
  if (strcmp(probe, expected) != 0) {
    fprintf(stderr, "unexpected probe text: %s\n", probe);
    return 1;
  }

  printf("consumer: %s\n", version);
  return 0;
}
