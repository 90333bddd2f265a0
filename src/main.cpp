// Entry point of vorn-cli: options, then dispatch to exactly one mode.
int main() { return 1; }
