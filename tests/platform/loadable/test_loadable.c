/* A small shared library that the loaded-image tests open and close at run
 * time, so that they can watch an image being added and removed. */
int varnel_test_loadable_add(int a, int b) { return a + b; }
