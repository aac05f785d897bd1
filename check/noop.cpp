// An exe that does nothing and exits 0: the Windows check must find that every row it judges
// by an outcome fails for it.
int main()
{
    return 0;
}
