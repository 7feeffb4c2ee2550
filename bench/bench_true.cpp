// The child of the launch benchmarks: does nothing and exits 0, so that a
// launch measures the launch.
int main()
{
    return 0;
}
