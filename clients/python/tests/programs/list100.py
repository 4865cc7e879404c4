print(list(range(100)))
