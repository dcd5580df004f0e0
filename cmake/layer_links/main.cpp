// The program of a layer's link check: it runs nothing. What matters is that
// the layer's every function links with only the layers below it.
int main() { return 0; }
