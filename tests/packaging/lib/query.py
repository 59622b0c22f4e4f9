# The Python module: the same query as capi_query.c.
import kivo

with kivo.Catalog("db", "photos") as c:
    for key, distance in c.query_image("images/redish.ppm", n=4):
        print("%s %f" % (key, distance))
