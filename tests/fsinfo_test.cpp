// filled in by the support library work
