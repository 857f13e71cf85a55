// The least a C++ program that links what tzdag links can cost: it loads
// pugixml, SQLite and the C++ library (the build keeps all three, used or
// not) and does nothing. The reference of tzdag's quick answers.
int main() {
  return 0;
}
