#include <cstdio>
int main() { std::puts("tavsock"); return 0; }
