// Program entry of the ostrel command.
int main() { return 1; }
