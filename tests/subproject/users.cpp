// The parent's own target named test_users.
int main()
{
    return 0;
}
