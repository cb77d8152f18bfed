def main(argv=None): return 0
