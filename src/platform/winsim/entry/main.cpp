// Placeholder until the winsim process start-up lands.
int main() { return 0; }
