// A program that only carries a version resource (or none) for the
// executable lookup and version tests; it does nothing when run.
int main()
{
    return 0;
}
