/* What an attacker offers pppd as a plugin: it records that it ran, and as
   whom, in "<this library>.ran" the moment it is loaded. A test that finds
   no such file knows the library never ran. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <unistd.h>

__attribute__((constructor)) static void attacker_ran(void) {
  Dl_info info;
  if (!dladdr((void*)&attacker_ran, &info) || !info.dli_fname) return;
  char path[4096];
  snprintf(path, sizeof path, "%s.ran", info.dli_fname);
  FILE* f = fopen(path, "a");
  if (!f) return;
  fprintf(f, "uid=%d euid=%d\n", (int)getuid(), (int)geteuid());
  fclose(f);
}

char pppd_version[] = "0";
void plugin_init(void) {}
